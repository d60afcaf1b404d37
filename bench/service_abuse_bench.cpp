// What abusive clients do to pelloran-service on loopback: connections that trickle their TLS
// hello, their request header or their body a byte at a time, silent connections reopened as
// the service drops them, a flood of announcements over plain HTTP from one address; and what a
// waiting connection costs in memory. Each row says how a good client fares meanwhile (full
// exchanges through the wizard's own transport, from another address than the abusers').
//
//   build/bench/service_abuse_bench [extra service options...]
#include "../tests/service/abusive_clients.h"
#include "../tests/service/service_process.h"
#include "../tests/support/temp_dir.h"
#include "../tests/tuning/loopback_https.h"

#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"

#include <openssl/ssl.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> extraOptions;

struct GoodClientFigures
{
    int succeeded = 0;
    double slowestSeconds = 0;
};

// `count` full exchanges, one after another, each given at most `limit` seconds.
GoodClientFigures GoodExchanges(const std::string& endpoint, int count, const std::string& name)
{
    GoodClientFigures figures;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const bool ok = FullExchange(endpoint, name + "-" + std::to_string(i)).empty();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        figures.slowestSeconds = std::max(figures.slowestSeconds, seconds);
        figures.succeeded += ok ? 1 : 0;
    }
    return figures;
}

std::unique_ptr<ServiceProcess> StartService(TempDir& folder, const Certificate& certificate, bool plain = false)
{
    std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--workers", "8", "--access-log", "/dev/null"};
    if (plain) {
        arguments.push_back("--plain-http");
    } else {
        arguments.insert(arguments.end(), {"--cert", certificate.certificateFile, "--key", certificate.keyFile});
    }
    arguments.insert(arguments.end(), extraOptions.begin(), extraOptions.end());
    auto service = std::make_unique<ServiceProcess>(arguments, folder.file("service.err"));
    if (!service->Ready()) {
        std::fprintf(stderr, "service_abuse_bench: the service did not start\n");
        std::exit(1);
    }
    return service;
}

// The abusers come from `addresses` loopback addresses from 127.0.0.2 on, as many from each.
void AbuseRow(TempDir& folder, const Certificate& certificate, const char* what, Abuse abuse, int connections,
              std::chrono::milliseconds interval, int goodExchanges, int addresses = 1)
{
    auto service = StartService(folder, certificate);
    std::vector<std::unique_ptr<AbusiveClients>> groups;
    for (int i = 0; i < addresses; ++i)
        groups.push_back(std::make_unique<AbusiveClients>(abuse, service->Port(), connections / addresses, interval,
                                                          "127.0.0." + std::to_string(2 + i)));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // let them take their places
    const GoodClientFigures good = GoodExchanges(service->Endpoint(), goodExchanges, "good");
    int closed = 0;
    for (const auto& group : groups)
        closed += group->Closed();
    std::printf("%-52s %2d of %2d good exchanges succeeded, slowest %5.2f s; the service closed %d of theirs\n", what,
                good.succeeded, goodExchanges, good.slowestSeconds, closed);
    std::fflush(stdout);
    service->Stop();
}

void FloodRow(TempDir& folder, const Certificate& certificate, int announcements)
{
    auto service = StartService(folder, certificate, true);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(service->Port()) + "/authws/services/AuthenticationService?wsdl";
    const std::string auth = std::string(serviceUserId) + ":" + serviceSecret;
    const PostAnswer first =
        Post(url, RequestDocument("validateUser", Announcement("victim", "15.4"), true), "", auth, "127.0.0.1");
    std::atomic<int> next{0}, accepted{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i; (i = next++) < announcements;)
                if (Post(url, RequestDocument("validateUser", Announcement("flood-" + std::to_string(i), "15.4"), true),
                         "", auth, "127.0.0.2")
                        .body.find(">0</") != std::string::npos)
                    ++accepted;
        });
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const PostAnswer recall =
        Post(url, RequestDocument("getQuorvelInfo", ValuesRequestTexts("victim"), true), "", auth, "127.0.0.1");
    std::printf("flood of %d announcements from one address: %d remembered in %.1f s; another address's earlier "
                "one %s\n",
                announcements, accepted.load(), seconds,
                first.status == 200 && recall.status == 200 ? "kept" : "pushed out");
    service->Stop();
}

// Resident memory of the service per connection waiting in one state.
void MemoryRow(TempDir& folder, const Certificate& certificate, const char* what, int connections, bool hello,
               bool handshake)
{
    auto service = StartService(folder, certificate);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = ResidentKilobytes(service->Pid());
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    std::vector<int> sockets;
    std::vector<SSL*> sessions;
    const std::string header = "POST /authws/services/AuthenticationService?wsdl HTTP/1.1\r\nHost: localhost\r\n"
                               "X-Padding: " + std::string(8000, 'x') + "\r\n";
    for (int i = 0; i < connections; ++i) {
        const int s = ConnectFrom("127.0.0.2", service->Port());
        if (s < 0)
            continue;
        sockets.push_back(s);
        if (!hello)
            continue;
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, s);
        sessions.push_back(ssl);
        if (handshake) {
            if (SSL_connect(ssl) == 1)
                SSL_write(ssl, header.data(), static_cast<int>(header.size()));
        } else {
            // The hello only: the service answers and waits for the client's finish.
            SSL_set_connect_state(ssl);
            timeval limit{0, 1};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            SSL_do_handshake(ssl);
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long after = ResidentKilobytes(service->Pid());
    std::printf("%-52s %4d waiting: %6.1f KiB each (resident %ld kB, was %ld kB)\n", what, connections,
                double(after - before) / connections, after, before);
    std::fflush(stdout);
    for (SSL* ssl : sessions)
        SSL_free(ssl);
    for (int s : sockets)
        close(s);
    SSL_CTX_free(context);
    service->Stop();
}

} // namespace

int main(int argc, char** argv)
{
    extraOptions.assign(argv + 1, argv + argc);
    // Hundreds of connections at once, on both ends.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    setenv(caFileVariable, certificate.certificateFile.c_str(), 1);
    std::printf("service: 8 workers, RSA-2048 certificate, loopback; abusers from 127.0.0.2, the good client from "
                "127.0.0.1\n");
    using std::chrono::milliseconds;
    AbuseRow(folder, certificate, "16 slow TLS hellos (a byte every 5 s):", Abuse::SlowHandshake, 16, milliseconds(5000), 3);
    AbuseRow(folder, certificate, "200 slow TLS hellos (a byte every 5 s):", Abuse::SlowHandshake, 200, milliseconds(5000), 3);
    AbuseRow(folder, certificate, "200 slow request headers (a byte every 1 s):", Abuse::SlowHeader, 200, milliseconds(1000), 3);
    AbuseRow(folder, certificate, "600 silent connections, reopened when closed:", Abuse::Silent, 600, milliseconds(1000), 60);
    AbuseRow(folder, certificate, "16 slow request bodies (a byte every 5 s):", Abuse::SlowBody, 16, milliseconds(5000), 4);
    AbuseRow(folder, certificate, "600 slow TLS hellos from 20 addresses (a byte a second):", Abuse::SlowHandshake, 600,
             milliseconds(1000), 28, 20);
    FloodRow(folder, certificate, 100001);
    MemoryRow(folder, certificate, "silent connections:", 400, false, false);
    MemoryRow(folder, certificate, "connections halfway through the handshake:", 400, true, false);
    MemoryRow(folder, certificate, "handshaken, 8 kB of header read:", 400, true, true);
    return 0;
}
