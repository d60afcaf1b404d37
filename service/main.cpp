// pelloran-service: the tuning service the wizard talks to.
#include "service/access_log.h"
#include "service/admin_server.h"
#include "service/client_limits.h"
#include "service/exchange_memory.h"
#include "service/exchange_redis.h"
#include "service/tuning_server.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) { stopRequested = true; }

const char* const usage =
    "Usage: pelloran-service --listen ADDRESS:PORT --cert CERT.pem --key KEY.pem [--workers N]\n"
    "                        [--access-log FILE] [--plain-http] [--no-session-tickets]\n"
    "                        [--request-deadline SECONDS] [--connections-per-address N]\n"
    "                        [--announcements-per-minute N] [--limit-exempt NETWORK]...\n"
    "                        [--admin-listen ADDRESS:PORT] [--state LOCATION] [--state-ca FILE]\n"
    "\n"
    "Serves the Pelloran tuning service (SOAP over HTTPS) at\n"
    "/authws/services/AuthenticationService on ADDRESS:PORT.\n"
    "\n"
    "  --listen ADDRESS:PORT  address and port to listen on, e.g. 127.0.0.1:8443 or [::1]:8443;\n"
    "                         port 0 takes any free port\n"
    "  --cert CERT.pem        the server's certificate (PEM, with its chain)\n"
    "  --key KEY.pem          the certificate's private key (PEM)\n"
    "  --workers N            worker threads serving requests (1 to 256; default 8)\n"
    "  --access-log FILE      append the access log (common log format) to FILE instead of\n"
    "                         standard output\n"
    "  --plain-http           serve plain HTTP, for running behind a TLS-terminating proxy;\n"
    "                         --cert and --key are then not needed\n"
    "  --no-session-tickets   give clients no TLS session tickets, so that every connection\n"
    "                         makes a full handshake (as when comparing handshake rates)\n"
    "  --request-deadline SECONDS\n"
    "                         time from connecting until the request has arrived whole, TLS\n"
    "                         handshake included (1 to 300; default 5)\n"
    "  --connections-per-address N\n"
    "                         connections one client address (an IPv6 /64) may hold open at\n"
    "                         once; more are refused with HTTP 429 (1 to 100000; default 32)\n"
    "  --announcements-per-minute N\n"
    "                         validateUser announcements one client address may make a minute;\n"
    "                         more get a fault (1 to 1000000; default 60)\n"
    "  --limit-exempt NETWORK addresses the two limits above do not apply to, such as a load\n"
    "                         balancer's (e.g. 10.0.0.5 or 10.0.0.0/24); repeatable; default\n"
    "                         the loopback addresses, \"none\" for no address\n"
    "  --admin-listen ADDRESS:PORT\n"
    "                         serve GET /healthz and GET /metrics (Prometheus text) over plain\n"
    "                         HTTP on this address only; off unless given. Keep it private.\n"
    "  --state LOCATION       keep the announced machine profiles in Redis, shared by every\n"
    "                         instance given the same LOCATION:\n"
    "                         redis://[USER:PASSWORD@]HOST:PORT/DB (a password alone as\n"
    "                         redis://:PASSWORD@HOST; %-escape @, : and / in them), the same\n"
    "                         with rediss:// for TLS, or unix:/path/to/socket[?db=N]; without\n"
    "                         it they stay in this process\n"
    "  --state-ca FILE        with rediss://, trust the authorities in FILE (PEM) for Redis's\n"
    "                         certificate instead of the system's\n"
    "  --help                 show this text\n"
    "\n"
    "Once ready it prints one line with the address it serves. SIGTERM or SIGINT stop it.\n";

int Fail(const std::string& message)
{
    std::fprintf(stderr, "pelloran-service: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "pelloran-service: %s\n%s", message.c_str(), usage);
    return 2;
}

// "host:port", "[v6]:port"; false when it is neither.
bool SplitListen(const std::string& text, std::string& host, int& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string portText = text.substr(colon + 1);
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(portText.c_str());
    return port <= 65535;
}

// A whole number from `lowest` to `highest`, written in plain digits.
bool ParseCount(const std::string& text, int lowest, int highest, int& into)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    into = std::atoi(text.c_str());
    return into >= lowest && into <= highest;
}

} // namespace

int main(int argc, char** argv)
{
    ServiceOptions options;
    std::string error;
    ClientLimitOptions limitOptions;
    limitOptions.exempt = ClientLimitOptions::DefaultExempt();
    bool exemptGiven = false;
    std::string listen, accessLogPath, adminListen, state, stateAuthorities;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string workers, text;
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (argument == "--plain-http") {
            options.plainHttp = true;
        } else if (argument == "--no-session-tickets") {
            options.sessionTickets = false;
        } else if (argument == "--listen") {
            if (!value(listen))
                return UsageError("--listen needs ADDRESS:PORT");
        } else if (argument == "--cert") {
            if (!value(options.certificateFile))
                return UsageError("--cert needs a file");
        } else if (argument == "--key") {
            if (!value(options.keyFile))
                return UsageError("--key needs a file");
        } else if (argument == "--access-log") {
            if (!value(accessLogPath))
                return UsageError("--access-log needs a file");
        } else if (argument == "--workers") {
            if (!value(workers) || workers.empty() || workers.size() > 3 ||
                workers.find_first_not_of("0123456789") != std::string::npos || std::atoi(workers.c_str()) < 1 ||
                std::atoi(workers.c_str()) > 256)
                return UsageError("--workers needs a number from 1 to 256");
            options.workers = std::atoi(workers.c_str());
        } else if (argument == "--state") {
            if (!value(state))
                return UsageError("--state needs redis://[USER:PASSWORD@]HOST:PORT/DB or unix:/path/to/socket[?db=N]");
            // Every local account can read a command line: keep the credentials out of it.
            const std::size_t scheme = state.find("://"), at = state.rfind('@');
            if (scheme != std::string::npos && at != std::string::npos && at > scheme)
                std::memset(argv[i] + scheme + 3, 'x', at - scheme - 3);
        } else if (argument == "--state-ca") {
            if (!value(stateAuthorities))
                return UsageError("--state-ca needs a file");
        } else if (argument == "--admin-listen") {
            if (!value(adminListen))
                return UsageError("--admin-listen needs ADDRESS:PORT");
        } else if (argument == "--request-deadline") {
            if (!value(text) || !ParseCount(text, 1, 300, options.requestDeadline))
                return UsageError("--request-deadline needs a number of seconds from 1 to 300");
        } else if (argument == "--connections-per-address") {
            if (!value(text) || !ParseCount(text, 1, 100000, limitOptions.connectionsPerAddress))
                return UsageError("--connections-per-address needs a number from 1 to 100000");
        } else if (argument == "--announcements-per-minute") {
            if (!value(text) || !ParseCount(text, 1, 1000000, limitOptions.announcementsPerMinute))
                return UsageError("--announcements-per-minute needs a number from 1 to 1000000");
        } else if (argument == "--limit-exempt") {
            if (!value(text))
                return UsageError("--limit-exempt needs a network");
            if (!exemptGiven)
                limitOptions.exempt.clear();
            exemptGiven = true;
            Network network;
            if (text != "none" && !ParseNetwork(text, network))
                return UsageError("--limit-exempt needs an address or ADDRESS/BITS, not " + text);
            if (text != "none")
                limitOptions.exempt.push_back(network);
        } else {
            return UsageError("unknown argument " + argument);
        }
    }
    if (listen.empty())
        return UsageError("--listen is required");
    if (!SplitListen(listen, options.host, options.port))
        return UsageError("--listen needs ADDRESS:PORT, not " + listen);
    RedisLocation redis;
    if (!state.empty() && !ParseRedisLocation(state, redis, error))
        return UsageError(error);
    if (!stateAuthorities.empty() && !redis.tls)
        return UsageError("--state-ca needs --state rediss://...");
    redis.caFile = stateAuthorities;
    if (!stateAuthorities.empty()) {
        std::FILE* authorities = std::fopen(stateAuthorities.c_str(), "r");
        if (authorities == nullptr)
            return Fail("cannot read the authorities " + stateAuthorities + ": " + std::strerror(errno));
        std::fclose(authorities);
    }
    std::string adminHost;
    int adminPort = 0;
    if (!adminListen.empty() && !SplitListen(adminListen, adminHost, adminPort))
        return UsageError("--admin-listen needs ADDRESS:PORT, not " + adminListen);
    if (!options.plainHttp && (options.certificateFile.empty() || options.keyFile.empty()))
        return UsageError("--cert and --key are required (or --plain-http)");

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    AccessLog log;
    if (!log.Open(accessLogPath, error))
        return Fail(error);
    std::unique_ptr<ExchangeStore> store;
    if (state.empty()) {
        store = std::make_unique<ExchangeMemory>();
    } else {
        auto shared = std::make_unique<ExchangeRedis>(redis);
        // It serves anyway, answering that it is unavailable until the store can be reached.
        if (!shared->Size())
            std::fprintf(stderr, "pelloran-service: %s cannot be reached yet\n", shared->Describe().c_str());
        store = std::move(shared);
    }
    ClientLimits limits(limitOptions);
    Metrics metrics;
    TuningServer server(options, log, *store, limits, metrics);
    if (!server.Start(error))
        return Fail(error);
    AdminServer admin(*store, metrics);
    if (!adminListen.empty() && !admin.Start(adminHost, adminPort, error))
        return Fail(error);
    std::printf("pelloran-service: listening on %s\n", server.Address().c_str());
    std::fflush(stdout);
    std::thread adminLoop;
    if (!adminListen.empty())
        adminLoop = std::thread([&] { admin.Run(stopRequested); });
    server.Run(stopRequested);
    if (adminLoop.joinable())
        adminLoop.join();
    std::fprintf(stderr, "pelloran-service: stopped\n");
    return 0;
}
