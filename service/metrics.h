// What the service counts for its operators, shown in the Prometheus text format on the
// admin address: requests by operation and outcome, validateUser verdicts, failed TLS
// handshakes, refused connections, and how long answering took. Safe to use from several
// threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

class Metrics
{
public:
    // One answered request: its operation ("" when none was read), its HTTP status, and the
    // seconds from its last byte arriving to its answer sent.
    void Request(const std::string& operation, int status, double seconds);
    void Verdict(char verdict);
    void HandshakeFailed() { ++handshakeFailures; }
    void ConnectionRefused(const char* reason);

    // The exposition text; `remembered` is the count of remembered announcements, none when
    // the store could not be asked; `storeErrors` the store's failed calls so far.
    std::string Text(std::optional<std::size_t> remembered, std::uint64_t storeErrors);

    // The histogram's bucket bounds, in seconds.
    static constexpr std::array<double, 10> bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1, 5};

private:
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests;
    std::map<char, std::uint64_t> verdicts;
    std::map<std::string, std::uint64_t> refusals;
    std::array<std::uint64_t, bounds.size()> buckets{};
    std::uint64_t latencyCount = 0;
    double latencySum = 0;
    std::atomic<std::uint64_t> handshakeFailures{0};
};
