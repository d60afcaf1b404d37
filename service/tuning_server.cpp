#include "service/tuning_server.h"

#include "service/front_loop.h"
#include "service/served_connection.h"
#include "service/tls_setup.h"
#include "service/tuning_operations.h"
#include "service/worker_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Connections waiting for a worker. Those being handshaken and read have one table for all
// front loops (as many as the options say): when all its places are taken, the one that has
// sent fewest bytes for its age makes room for a new one, so whoever holds places by keeping
// silent or trickling loses them to clients that talk.
constexpr std::size_t queueLimit = 256;

// Raises the limit of open files, as far as the hard limit allows, when the default (1024 on
// most systems) is too low for the waiting places, the queue and a few more.
void AllowOpenFiles(std::size_t needed)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed)
        return;
    limit.rlim_cur = std::min<rlim_t>(needed, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

struct TuningServer::Impl
{
    ServiceOptions options;
    ServedParts served;
    struct soap listener;
    int port = 0;
    ServerCertificate certificate;
    WaitingPlaces places;

    Impl(const ServiceOptions& options, AccessLog& log, ExchangeStore& store, ClientLimits& limits, Metrics& metrics)
        : options(options), served{log, store, limits, metrics},
          places(static_cast<std::size_t>(options.maxPending), metrics)
    {
        AllowOpenFiles(static_cast<std::size_t>(options.maxPending) + queueLimit + 64);
        soap_init2(&listener, SOAP_IO_DEFAULT, SOAP_IO_DEFAULT | SOAP_XML_TREE);
    }
    ~Impl()
    {
        soap_destroy(&listener);
        soap_end(&listener);
        soap_done(&listener);
    }
};

TuningServer::TuningServer(const ServiceOptions& options, AccessLog& log, ExchangeStore& store, ClientLimits& limits,
                           Metrics& metrics)
    : impl(std::make_unique<Impl>(options, log, store, limits, metrics))
{
}

TuningServer::~TuningServer() = default;

bool TuningServer::Start(std::string& error)
{
    struct soap& listener = impl->listener;
    if (!impl->options.plainHttp && !impl->certificate.Load(impl->options, error))
        return false;
    listener.bind_flags = SO_REUSEADDR;
    listener.send_timeout = impl->options.sendTimeout;
    listener.transfer_timeout = impl->options.transferTimeout;
    listener.recv_maxlength = requestBodyLimit + requestHeaderLimit;
    impl->served.KeepOriginalHooks(listener);
    if (!soap_valid_socket(soap_bind(&listener, impl->options.host.c_str(), impl->options.port, 128))) {
        const int code = listener.errnum;
        error = "cannot listen on " + impl->options.host + ":" + std::to_string(impl->options.port) + ": " +
                (code != 0 ? std::strerror(code) : "the address cannot be used");
        return false;
    }
    // Several front loops accept from it; the one that loses a race must not block.
    fcntl(listener.master, F_SETFL, fcntl(listener.master, F_GETFL) | O_NONBLOCK);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(listener.master, reinterpret_cast<sockaddr*>(&address), &length);
    impl->port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return true;
}

bool TuningServer::ReloadCertificate(std::string& error)
{
    if (impl->options.plainHttp) {
        error = "serving plain HTTP, there is no certificate to read";
        return false;
    }
    return impl->certificate.Load(impl->options, error);
}

int TuningServer::Port() const { return impl->port; }

std::string TuningServer::Address() const
{
    const std::string& host = impl->options.host;
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(impl->options.plainHttp ? "http" : "https") + "://" + shown + ":" + std::to_string(impl->port) +
           "/authws/services/AuthenticationService";
}

void TuningServer::Run(const StopSignal& stop)
{
    Impl& server = *impl;
    {
        const WorkerPool::NewServe newServe = [&server] {
            auto answering = std::make_shared<RequestServer>(server.listener, server.served);
            return [answering](PendingRequest& request) { answering->Serve(request); };
        };
        // An answer fits the socket's buffer whole, so only the store may wait: when it cannot,
        // the front loops answer and no worker is needed.
        const bool storeWaits = server.served.store.Waits();
        WorkerPool workers(storeWaits ? server.options.workers : 0, queueLimit, newServe);
        FrontParts fronts{server.listener.master,
                          server.options.plainHttp ? nullptr : &server.certificate,
                          std::chrono::seconds(server.options.requestDeadline),
                          std::chrono::seconds(server.options.drainSeconds),
                          server.options.proxyProtocolFrom,
                          server.served.log,
                          server.served.limits,
                          server.served.metrics,
                          server.places,
                          workers,
                          storeWaits ? WorkerPool::NewServe() : newServe};
        // A front loop per processor: handshakes are most of the work.
        std::vector<std::thread> others;
        const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 1; i < processors; ++i)
            others.emplace_back([&] { RunFrontLoop(fronts, stop); });
        RunFrontLoop(fronts, stop);
        for (std::thread& front : others)
            front.join();

        soap_closesocket(server.listener.master);
        server.listener.master = SOAP_INVALID_SOCKET;
    } // the workers answer what was handed to them
}
