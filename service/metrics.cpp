#include "service/metrics.h"

#include <cstdio>

namespace {

const char* Outcome(int status)
{
    switch (status) {
    case 200:
        return "ok";
    case 500:
        return "fault";
    case 401:
        return "unauthorized";
    case 413:
        return "too_large";
    case 429:
        return "refused";
    default:
        return "bad_request";
    }
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

} // namespace

void Metrics::Request(const std::string& operation, int status, double seconds)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++requests[{operation.empty() ? "none" : operation, Outcome(status)}];
    for (std::size_t i = 0; i < bounds.size(); ++i)
        if (seconds <= bounds[i])
            ++buckets[i];
    ++latencyCount;
    latencySum += seconds;
}

void Metrics::Verdict(char verdict)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++verdicts[verdict];
}

void Metrics::ConnectionRefused(const char* reason)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++refusals[reason];
}

std::string Metrics::Text(std::optional<std::size_t> remembered, std::uint64_t storeErrors)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::string text = "# HELP pelloran_requests_total Requests answered, by operation and outcome.\n"
                       "# TYPE pelloran_requests_total counter\n";
    for (const auto& [key, count] : requests)
        text += "pelloran_requests_total{operation=\"" + key.first + "\",outcome=\"" + key.second + "\"} " +
                std::to_string(count) + "\n";
    text += "# HELP pelloran_validate_user_verdicts_total validateUser answers, by verdict.\n"
            "# TYPE pelloran_validate_user_verdicts_total counter\n";
    for (const auto& [verdict, count] : verdicts)
        text += "pelloran_validate_user_verdicts_total{verdict=\"" + std::string(1, verdict) + "\"} " +
                std::to_string(count) + "\n";
    text += "# HELP pelloran_tls_handshake_failures_total TLS handshakes that failed.\n"
            "# TYPE pelloran_tls_handshake_failures_total counter\n"
            "pelloran_tls_handshake_failures_total " + std::to_string(handshakeFailures.load()) + "\n";
    text += "# HELP pelloran_connections_refused_total Connections closed or refused before a request, by reason.\n"
            "# TYPE pelloran_connections_refused_total counter\n";
    for (const auto& [reason, count] : refusals)
        text += "pelloran_connections_refused_total{reason=\"" + reason + "\"} " + std::to_string(count) + "\n";
    text += "# HELP pelloran_request_duration_seconds Time from a request's last byte to its answer.\n"
            "# TYPE pelloran_request_duration_seconds histogram\n";
    for (std::size_t i = 0; i < bounds.size(); ++i)
        text += "pelloran_request_duration_seconds_bucket{le=\"" + Number(bounds[i]) + "\"} " +
                std::to_string(buckets[i]) + "\n";
    text += "pelloran_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(latencyCount) + "\n" +
            "pelloran_request_duration_seconds_sum " + Number(latencySum) + "\n" +
            "pelloran_request_duration_seconds_count " + std::to_string(latencyCount) + "\n";
    text += "# HELP pelloran_remembered_announcements Announcements waiting for their getQuorvelInfo.\n"
            "# TYPE pelloran_remembered_announcements gauge\n";
    if (remembered)
        text += "pelloran_remembered_announcements " + std::to_string(*remembered) + "\n";
    text += "# HELP pelloran_state_store_up Whether the store of announcements could be reached.\n"
            "# TYPE pelloran_state_store_up gauge\n"
            "pelloran_state_store_up " + std::string(remembered ? "1" : "0") + "\n";
    text += "# HELP pelloran_state_store_errors_total Calls to the store of announcements that failed.\n"
            "# TYPE pelloran_state_store_errors_total counter\n"
            "pelloran_state_store_errors_total " + std::to_string(storeErrors) + "\n";
    return text;
}
