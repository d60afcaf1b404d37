// Speed and memory of pelloran-service on loopback: full exchanges per second (testWebService,
// validateUser, getQuorvelInfo, each on a new TLS connection through the wizard's own proxy and
// HTTPS transport; then through a lean HTTPS client) with 1, 8 and 32 concurrent clients; the
// lean exchanges again with the announcements in Redis; and the service's memory after
// 100,000 exchanges have been announced.
//
//   build/bench/service_bench [exchanges per client count, default 200] [announcements, default 100000]
//   build/bench/service_bench --wrk-script   (prints the load generator's request, for tls_rate_bench.sh)
#include "../tests/service/service_process.h"
#include "../tests/support/temp_dir.h"
#include "../tests/tuning/loopback_https.h"

#include "protocol/hex_text.h"
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"

#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs `total` jobs over `clients` threads; returns the seconds taken and counts failures.
template <typename Job>
double RunSpread(int clients, int total, std::atomic<int>& failures, Job job)
{
    std::atomic<int> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            for (int i; (i = next++) < total;)
                if (!job(i))
                    ++failures;
        });
    for (std::thread& t : threads)
        t.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--wrk-script") {
        // What the TLS rate comparison (tls_rate_bench.sh) posts: a validateUser as the wizard
        // sends it, each on a new connection.
        const std::string credentials = std::string(serviceUserId) + ":" + serviceSecret;
        std::string basic(4 * ((credentials.size() + 2) / 3) + 1, '\0');
        basic.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(basic.data()),
                                     reinterpret_cast<const unsigned char*>(credentials.data()),
                                     static_cast<int>(credentials.size())));
        std::printf("wrk.method = \"POST\"\n"
                    "wrk.path = \"/authws/services/AuthenticationService?wsdl\"\n"
                    "wrk.headers[\"User-Agent\"] = \"gSOAP/2.7\"\n"
                    "wrk.headers[\"Content-Type\"] = \"text/xml; charset=utf-8\"\n"
                    "wrk.headers[\"Authorization\"] = \"Basic %s\"\n"
                    "wrk.headers[\"SOAPAction\"] = \"\\\"\\\"\"\n"
                    "wrk.headers[\"Connection\"] = \"close\"\n"
                    "wrk.body = [==[%s]==]\n",
                    basic.c_str(), RequestDocument("validateUser", Announcement("rate-bench", "15.4"), true).c_str());
        return 0;
    }
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
    const int announcements = argc > 2 ? std::atoi(argv[2]) : 100000;
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    setenv(caFileVariable, certificate.certificateFile.c_str(), 1);
    ServiceProcess service({"--listen", "127.0.0.1:0", "--cert", certificate.certificateFile, "--key",
                            certificate.keyFile, "--workers", "8", "--access-log", "/dev/null"},
                           folder.file("service.err"));
    if (!service.Ready()) {
        std::fprintf(stderr, "service_bench: the service did not start\n");
        return 1;
    }
    const std::string endpoint = service.Endpoint();
    std::printf("service: %d workers, RSA-2048 certificate, loopback, %d full exchanges per row\n", 8, exchanges);
    std::printf("resident memory at start: %ld kB\n", ResidentKilobytes(service.Pid()));

    double wizardSeconds = 0; // one exchange, one client at a time
    for (int clients : {1, 8, 32}) {
        std::atomic<int> failures{0};
        const double seconds = RunSpread(clients, exchanges, failures, [&](int i) {
            return FullExchange(endpoint, "bench-" + std::to_string(clients) + "-" + std::to_string(i)).empty();
        });
        std::printf("%2d concurrent clients: %7.1f full exchanges/s (%d failed)\n", clients, exchanges / seconds,
                    failures.load());
        if (clients == 1)
            wizardSeconds = seconds / exchanges;
    }

    // The same exchanges through a lean HTTPS client (libcurl trusting only the service's
    // certificate): what the service itself sustains, without the wizard's client costs
    // (the system's certificate store, the generated proxy).
    const std::string auth = std::string(serviceUserId) + ":" + serviceSecret;
    auto leanExchange = [&](const std::string& at, const std::string& id) {
        return Post(at, RequestDocument("testWebService", {}, false), certificate.certificateFile, auth).status == 200 &&
               Post(at, RequestDocument("validateUser", Announcement(id, "15.4"), true), certificate.certificateFile, auth)
                       .body.find(">0</") != std::string::npos &&
               Post(at, RequestDocument("getQuorvelInfo", ValuesRequestTexts(id), true), certificate.certificateFile, auth)
                       .status == 200;
    };
    double leanSeconds = 0;
    for (int clients : {1, 8, 32}) {
        std::atomic<int> failures{0};
        const double seconds = RunSpread(clients, exchanges * 5, failures, [&](int i) {
            return leanExchange(endpoint, "lean-" + std::to_string(clients) + "-" + std::to_string(i));
        });
        std::printf("%2d concurrent lean clients: %7.1f full exchanges/s (%d failed)\n", clients,
                    exchanges * 5 / seconds, failures.load());
        if (clients == 1)
            leanSeconds = seconds / (exchanges * 5);
    }
    std::printf("one full exchange: %.1f ms through the wizard's transport, %.1f ms through a lean client: %.2f times\n",
                wizardSeconds * 1000, leanSeconds * 1000, leanSeconds > 0 ? wizardSeconds / leanSeconds : 0.0);

    // The same with the announcements in Redis, as instances behind a load balancer keep
    // them: a redis-server of its own on a unix socket.
    RedisProcess redis(folder.path());
    if (redis.Start()) {
        ServiceProcess shared({"--listen", "127.0.0.1:0", "--cert", certificate.certificateFile, "--key",
                               certificate.keyFile, "--workers", "8", "--access-log", "/dev/null", "--state",
                               redis.State()},
                              folder.file("shared.err"));
        for (int clients : {1, 32}) {
            std::atomic<int> failures{0};
            const double seconds = RunSpread(clients, exchanges * 5, failures, [&](int i) {
                return leanExchange(shared.Endpoint(), "redis-" + std::to_string(clients) + "-" + std::to_string(i));
            });
            std::printf("%2d concurrent lean clients, announcements in Redis: %7.1f full exchanges/s (%d failed)\n",
                        clients, exchanges * 5 / seconds, failures.load());
        }
    } else {
        std::printf("no redis-server: the rows with announcements in Redis are left out\n");
    }

    // Announcements only: each one is remembered, as a full exchange's would be.
    std::atomic<int> failures{0};
    const double seconds = RunSpread(32, announcements, failures, [&](int i) {
        return Post(endpoint, RequestDocument("validateUser", Announcement("memory-" + std::to_string(i), "15.4"), true),
                    certificate.certificateFile, auth)
                   .body.find(">0</") != std::string::npos;
    });
    std::printf("%d exchanges announced in %.1f s (%d failed); resident memory after: %ld kB\n", announcements,
                seconds, failures.load(), ResidentKilobytes(service.Pid()));
    return service.Stop() == 0 ? 0 : 1;
}
