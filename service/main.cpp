// pelloran-service: the tuning service the wizard talks to.
#include "service/access_log.h"
#include "service/admin_server.h"
#include "service/client_limits.h"
#include "service/exchange_memory.h"
#include "service/exchange_redis.h"
#include "service/service_manager.h"
#include "service/stop_signal.h"
#include "service/tuning_server.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A signal handler can reach nothing else; set before the handlers are.
StopSignal* stopSignal = nullptr;
RepeatedSignal* reloadSignal = nullptr;

extern "C" void RequestStop(int) { stopSignal->Raise(); }
extern "C" void RequestReload(int) { reloadSignal->Raise(); }

// Acts on what the signal handlers asked for, until `finished`: tells the service manager
// that the service is stopping, and reads the certificate again on SIGHUP.
void WatchSignals(const StopSignal& stop, RepeatedSignal& reload, const StopSignal& finished, TuningServer& server)
{
    bool stopping = false;
    while (!finished.Raised()) {
        pollfd waiting[] = {{finished.Descriptor(), POLLIN, 0},
                            {reload.Descriptor(), POLLIN, 0},
                            {stopping ? -1 : stop.Descriptor(), POLLIN, 0}};
        poll(waiting, 3, -1);
        if (!stopping && stop.Raised()) {
            stopping = true;
            NotifyServiceManager("STOPPING=1");
        }
        if (reload.Take()) {
            std::string error;
            if (server.ReloadCertificate(error))
                std::fprintf(stderr, "pelloran-service: certificate and key read again\n");
            else
                std::fprintf(stderr, "pelloran-service: certificate not reloaded, the one in use stays: %s\n",
                             error.c_str());
        }
    }
}

// What the command line sets.
struct Settings
{
    ServiceOptions service;
    ClientLimitOptions limits;
    bool exemptGiven = false; // the first --limit-exempt replaces the default
    bool help = false;
    std::string configFile;
    std::string listen, accessLogPath, adminListen, state, stateAuthorities;
};

// Takes an option's value into the settings. Empty when taken; else what to say after
// "--option needs ".
using Setter = std::function<std::string(Settings&, char* value)>;

struct Option
{
    const char* name;
    const char* value; // its placeholder in the help; null for a switch, which takes none
    const char* help;  // its lines; the help indents them
    Setter set;        // given null when the value is missing
};

// Each option's setter reaches its field through an accessor.
template <typename Field>
using Access = Field& (*)(Settings&);

Setter Switch(Access<bool> field, bool to)
{
    return [field, to](Settings& settings, char*) {
        field(settings) = to;
        return std::string();
    };
}

// `needs` completes "--option needs ..." when the value is missing.
Setter Text(Access<std::string> field, const char* needs)
{
    return [field, needs](Settings& settings, char* value) {
        if (value == nullptr)
            return std::string(needs);
        field(settings) = value;
        return std::string();
    };
}

// A whole number from `lowest` to `highest`, written in plain digits, into what `field` picks
// out; `unit` names what it counts in the message ("of seconds ").
Setter Count(int lowest, int highest, const char* unit, Access<int> field)
{
    return [=](Settings& settings, char* value) {
        const std::string text = value != nullptr ? value : "";
        const bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
        const int count = digits ? std::atoi(text.c_str()) : 0;
        if (!digits || count < lowest || count > highest)
            return std::string("a number ") + unit + "from " + std::to_string(lowest) + " to " + std::to_string(highest);
        field(settings) = count;
        return std::string();
    };
}

std::string SetState(Settings& settings, char* value)
{
    if (value == nullptr)
        return "redis://[USER:PASSWORD@]HOST:PORT/DB or unix:/path/to/socket[?db=N]";
    settings.state = value;
    // Every local account can read a command line: keep the credentials out of it.
    const std::size_t scheme = settings.state.find("://"), at = settings.state.rfind('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme)
        std::memset(value + scheme + 3, 'x', at - scheme - 3);
    return "";
}

std::string AddExempt(Settings& settings, char* value)
{
    if (value == nullptr)
        return "a network";
    const std::string text = value;
    if (!settings.exemptGiven)
        settings.limits.exempt.clear();
    settings.exemptGiven = true;
    if (text == "none")
        return "";
    Network network;
    if (!ParseNetwork(text, network))
        return "an address or ADDRESS/BITS, not " + text;
    settings.limits.exempt.push_back(network);
    return "";
}

std::string AddProxyNetwork(Settings& settings, char* value)
{
    Network network;
    if (value == nullptr)
        return "a network";
    if (!ParseNetwork(value, network))
        return std::string("an address or ADDRESS/BITS, not ") + value;
    settings.service.proxyProtocolFrom.push_back(network);
    return "";
}

const Option optionTable[] = {
    {"--listen", "ADDRESS:PORT",
     "address and port to listen on, e.g. 127.0.0.1:8443 or [::1]:8443;\n"
     "port 0 takes any free port",
     Text([](Settings& s) -> std::string& { return s.listen; }, "ADDRESS:PORT")},
    {"--cert", "CERT.pem", "the server's certificate (PEM, with its chain)", Text([](Settings& s) -> std::string& { return s.service.certificateFile; }, "a file")},
    {"--key", "KEY.pem", "the certificate's private key (PEM)", Text([](Settings& s) -> std::string& { return s.service.keyFile; }, "a file")},
    {"--workers", "N", "worker threads answering requests when the state is kept in\n"
                       "Redis (1 to 256; default 8)",
     Count(1, 256, "", [](Settings& s) -> int& { return s.service.workers; })},
    {"--access-log", "FILE",
     "append the access log (common log format) to FILE instead of\n"
     "standard output",
     Text([](Settings& s) -> std::string& { return s.accessLogPath; }, "a file")},
    {"--plain-http", nullptr,
     "serve plain HTTP, for running behind a TLS-terminating proxy;\n"
     "--cert and --key are then not needed",
     Switch([](Settings& s) -> bool& { return s.service.plainHttp; }, true)},
    {"--no-session-tickets", nullptr,
     "give clients no TLS session tickets, so that every connection\n"
     "makes a full handshake (as when comparing handshake rates)",
     Switch([](Settings& s) -> bool& { return s.service.sessionTickets; }, false)},
    {"--request-deadline", "SECONDS",
     "time from connecting until the request has arrived whole, TLS\n"
     "handshake included (1 to 300; default 5)",
     Count(1, 300, "of seconds ", [](Settings& s) -> int& { return s.service.requestDeadline; })},
    {"--drain-seconds", "SECONDS",
     "on SIGTERM, how long the requests in flight may take to finish\n"
     "while no new connection is taken (0 to 3600; default 10)",
     Count(0, 3600, "of seconds ", [](Settings& s) -> int& { return s.service.drainSeconds; })},
    {"--connections-per-address", "N",
     "connections one client address (an IPv6 /64) may hold open at\n"
     "once; more are refused with HTTP 429 (1 to 100000; default 32)",
     Count(1, 100000, "", [](Settings& s) -> int& { return s.limits.connectionsPerAddress; })},
    {"--announcements-per-minute", "N",
     "validateUser announcements one client address may make a minute;\n"
     "more get a fault (1 to 1000000; default 60)",
     Count(1, 1000000, "", [](Settings& s) -> int& { return s.limits.announcementsPerMinute; })},
    {"--limit-exempt", "NETWORK",
     "addresses the two limits above do not apply to, such as a load\n"
     "balancer's (e.g. 10.0.0.5 or 10.0.0.0/24); repeatable; default\n"
     "the loopback addresses, \"none\" for no address",
     AddExempt},
    {"--proxy-protocol-from", "NETWORK",
     "connections from NETWORK (a load balancer's address or network)\n"
     "begin with a PROXY protocol header, version 1 or 2, naming the\n"
     "client, which the limits, the access log and the metrics then\n"
     "count; one without a valid header is closed. Repeatable; from\n"
     "other addresses no header is taken",
     AddProxyNetwork},
    {"--admin-listen", "ADDRESS:PORT",
     "serve GET /healthz and GET /metrics (Prometheus text) over plain\n"
     "HTTP on this address only; off unless given. Keep it private.",
     Text([](Settings& s) -> std::string& { return s.adminListen; }, "ADDRESS:PORT")},
    {"--state", "LOCATION",
     "keep the announced machine profiles in Redis, shared by every\n"
     "instance given the same LOCATION:\n"
     "redis://[USER:PASSWORD@]HOST:PORT/DB (a password alone as\n"
     "redis://:PASSWORD@HOST; %-escape @, : and / in them), the same\n"
     "with rediss:// for TLS, unix:/path/to/socket[?db=N], or the master\n"
     "sentinels name: redis-sentinel://[USER:PASSWORD@]HOST:PORT[,HOST:\n"
     "PORT].../MASTER[/DB]; without it they stay in this process",
     SetState},
    {"--state-ca", "FILE",
     "with rediss://, trust the authorities in FILE (PEM) for Redis's\n"
     "certificate instead of the system's",
     Text([](Settings& s) -> std::string& { return s.stateAuthorities; }, "a file")},
    {"--max-pending", "N",
     "connections being handshaken and read at once, all clients\n"
     "together; when all are taken, the one that has sent least for its\n"
     "age makes room (16 to 100000; default 512)",
     Count(16, 100000, "", [](Settings& s) -> int& { return s.service.maxPending; })},
    {"--config", "FILE",
     "read options from FILE first: one a line, named as here without\n"
     "the dashes, its value after a space (\"workers 4\"); blank lines\n"
     "and lines starting with # are skipped. An option given on the\n"
     "command line replaces the file's",
     Text([](Settings& s) -> std::string& { return s.configFile; }, "a file")},
    {"--help", nullptr, "show this text", Switch([](Settings& s) -> bool& { return s.help; }, true)},
};

const Option* FindOption(const std::string& name)
{
    const Option* option = std::find_if(std::begin(optionTable), std::end(optionTable),
                                        [&](const Option& o) { return name == o.name; });
    return option != std::end(optionTable) ? option : nullptr;
}

// The options of the command line, each with its value (null for a switch or when missing).
using GivenOptions = std::vector<std::pair<const Option*, char*>>;

// Applies the options in the configuration file that the command line does not give. Empty
// when they were all taken, else what is wrong, with the file's name and line.
std::string ApplyConfigFile(Settings& settings, const GivenOptions& onCommandLine)
{
    std::ifstream file(settings.configFile);
    if (!file)
        return "cannot read the configuration " + settings.configFile + ": " + std::strerror(errno);
    int number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        const std::string where = settings.configFile + ":" + std::to_string(number) + ": ";
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const std::size_t nameEnd = std::min(line.find_first_of(" \t\r", start), line.size());
        const std::string name = "--" + line.substr(start, nameEnd - start);
        const std::size_t valueStart = std::min(line.find_first_not_of(" \t", nameEnd), line.size());
        const std::size_t valueEnd = line.find_last_not_of(" \t\r");
        std::string value = valueEnd != std::string::npos && valueEnd >= valueStart
                                ? line.substr(valueStart, valueEnd + 1 - valueStart) : "";
        const Option* option = FindOption(name);
        if (option == nullptr || name == "--config" || name == "--help")
            return where + "unknown option " + name.substr(2);
        if (option->value == nullptr && !value.empty())
            return where + name.substr(2) + " takes no value";
        if (std::any_of(onCommandLine.begin(), onCommandLine.end(), [&](const auto& given) { return given.first == option; }))
            continue;
        const std::string wrong = option->set(settings, option->value != nullptr && !value.empty() ? value.data() : nullptr);
        if (!wrong.empty())
            return where + name.substr(2) + " needs " + wrong;
    }
    return "";
}

std::string Usage()
{
    std::string usage =
        "Usage: pelloran-service --listen ADDRESS:PORT --cert CERT.pem --key KEY.pem [--workers N]\n"
        "                        [--access-log FILE] [--plain-http] [--no-session-tickets]\n"
        "                        [--request-deadline SECONDS] [--connections-per-address N]\n"
        "                        [--announcements-per-minute N] [--limit-exempt NETWORK]...\n"
        "                        [--drain-seconds SECONDS] [--proxy-protocol-from NETWORK]...\n"
        "                        [--admin-listen ADDRESS:PORT] [--state LOCATION] [--state-ca FILE]\n"
        "                        [--max-pending N] [--config FILE]\n"
        "\n"
        "Serves the Pelloran tuning service (SOAP over HTTPS) at\n"
        "/authws/services/AuthenticationService on ADDRESS:PORT.\n"
        "\n";
    // The help starts in this column, on the option's line when the option leaves room.
    constexpr std::size_t helpColumn = 25;
    for (const Option& option : optionTable) {
        std::string line = std::string("  ") + option.name + (option.value != nullptr ? std::string(" ") + option.value : "");
        line += line.size() < helpColumn ? std::string(helpColumn - line.size(), ' ') : "\n" + std::string(helpColumn, ' ');
        for (const char* help = option.help; *help != '\0'; ++help) {
            line += *help;
            if (*help == '\n')
                line += std::string(helpColumn, ' ');
        }
        usage += line + "\n";
    }
    return usage + "\nOnce ready it prints one line with the address it serves (and tells systemd, given\n"
                   "NOTIFY_SOCKET). SIGTERM or SIGINT stop it once the requests in flight are answered;\n"
                   "SIGHUP reads the certificate and key again.\n";
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "pelloran-service: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "pelloran-service: %s\n%s", message.c_str(), Usage().c_str());
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

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    settings.limits.exempt = ClientLimitOptions::DefaultExempt();
    std::string error;
    // The command line's options are known first, so that the file's are read beneath them.
    GivenOptions given;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = std::strcmp(argv[i], "-h") == 0 ? "--help" : argv[i];
        const Option* option = FindOption(argument);
        if (option == nullptr)
            return UsageError("unknown argument " + argument);
        char* value = nullptr;
        if (option->value != nullptr && i + 1 < argc)
            value = argv[++i];
        if (option->value == nullptr)
            option->set(settings, nullptr); // a switch cannot be wrong, and --help is answered now
        if (settings.help) {
            std::fputs(Usage().c_str(), stdout);
            return 0;
        }
        given.emplace_back(option, value);
    }
    for (const auto& [option, value] : given)
        if (std::string(option->name) == "--config") {
            const std::string wrong = option->set(settings, value);
            if (!wrong.empty())
                return UsageError("--config needs " + wrong);
        }
    if (!settings.configFile.empty()) {
        error = ApplyConfigFile(settings, given);
        if (!error.empty())
            return UsageError(error);
    }
    for (const auto& [option, value] : given) {
        const std::string wrong = option->set(settings, value);
        if (!wrong.empty())
            return UsageError(std::string(option->name) + " needs " + wrong);
    }
    ServiceOptions& options = settings.service;
    const std::string& listen = settings.listen;
    const std::string& state = settings.state;
    const std::string& stateAuthorities = settings.stateAuthorities;
    const std::string& adminListen = settings.adminListen;
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

    StopSignal stop, finished;
    RepeatedSignal reload;
    if (stop.Descriptor() < 0 || finished.Descriptor() < 0 || reload.Descriptor() < 0)
        return Fail(std::string("cannot make the stop signal: ") + std::strerror(errno));
    stopSignal = &stop;
    reloadSignal = &reload;
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = RequestReload;
    sigaction(SIGHUP, &action, nullptr);

    AccessLog log;
    if (!log.Open(settings.accessLogPath, error))
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
    ClientLimits limits(settings.limits);
    Metrics metrics;
    TuningServer server(options, log, *store, limits, metrics);
    if (!server.Start(error))
        return Fail(error);
    AdminServer admin(*store, metrics, stop);
    if (!adminListen.empty() && !admin.Start(adminHost, adminPort, error))
        return Fail(error);
    std::printf("pelloran-service: listening on %s\n", server.Address().c_str());
    std::fflush(stdout);
    NotifyServiceManager("READY=1");
    std::thread adminLoop;
    if (!adminListen.empty())
        adminLoop = std::thread([&] { admin.Run(finished); });
    std::thread signalWatch([&] { WatchSignals(stop, reload, finished, server); });
    server.Run(stop);
    finished.Raise();
    signalWatch.join();
    if (adminLoop.joinable())
        adminLoop.join();
    std::fprintf(stderr, "pelloran-service: stopped\n");
    return 0;
}
