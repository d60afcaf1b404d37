#include "service/tuning_server.h"

#include "service/tuning_rules.h"
#include "tuning/hex_text.h"
#include "tuning/maker_constants.h"

#include "soapAuthenticationServiceSoapBindingService.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr const char* realm = "Pelloran tuning service";
constexpr const char* unknownExchangeFault =
    "Unknown or expired exchange: announce the machine with validateUser, then ask again";
// Connections waiting for their first bytes, and connections waiting for a worker; beyond
// these, new ones are closed at once. Together they stay well below the usual limit of 1024
// open files.
constexpr std::size_t silentLimit = 512;
constexpr std::size_t queueLimit = 256;

struct Shared
{
    AccessLog& log;
    ExchangeMemory& memory;
    int (*originalParse)(struct soap*) = nullptr;
    int (*originalParseHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*originalResponse)(struct soap*, int, ULONG64) = nullptr;
    int (*originalPostHeader)(struct soap*, const char*, const char*) = nullptr;
    std::size_t (*originalReceive)(struct soap*, char*, std::size_t) = nullptr;
};

bool SameText(const char* given, const char* expected)
{
    if (given == nullptr)
        return false;
    const std::size_t length = std::strlen(expected);
    return std::strlen(given) == length && CRYPTO_memcmp(given, expected, length) == 0;
}

const char* MethodName(int status)
{
    switch (status) {
    case SOAP_POST:
    case SOAP_POST_FILE:
        return "POST";
    case SOAP_GET:
        return "GET";
    case SOAP_PUT:
        return "PUT";
    case SOAP_PATCH:
        return "PATCH";
    case SOAP_DEL:
        return "DELETE";
    case SOAP_HEAD:
        return "HEAD";
    case SOAP_OPTIONS:
        return "OPTIONS";
    case SOAP_CONNECT:
        return "CONNECT";
    default:
        return "-";
    }
}

// One connection: a copy of the listening context, served by one worker.
class Connection : public AuthenticationServiceSoapBindingService
{
public:
    Connection(const struct soap& listener, Shared& shared)
        : AuthenticationServiceSoapBindingService(listener), shared(shared)
    {
        user = this;
        // The runtime also bounds the TLS handshake by the accept time-out, which the listener
        // keeps short to look at the stop flag often: give a client the receive time-out.
        accept_timeout = recv_timeout;
        fparse = Parse;
        fparsehdr = ParseHeader;
        fresponse = Response;
        fposthdr = PostHeader;
        frecv = Receive;
        if (ip6[0] || ip6[1] || ip6[2] || ip6[3]) {
            // The runtime keeps the address as four words in host order.
            const uint32_t words[4] = {htonl(ip6[0]), htonl(ip6[1]), htonl(ip6[2]), htonl(ip6[3])};
            char text[INET6_ADDRSTRLEN] = "";
            inet_ntop(AF_INET6, words, text, sizeof text);
            client = text;
        }
        if (client.empty() || client.rfind("::ffff:", 0) == 0) {
            char text[INET_ADDRSTRLEN] = "";
            const in_addr address{htonl(static_cast<uint32_t>(ip))};
            inet_ntop(AF_INET, &address, text, sizeof text);
            client = text;
        }
    }

    AuthenticationServiceSoapBindingService* copy() override { return nullptr; } // never copied

    void Serve(bool tls)
    {
        if (tls && ssl_accept() != SOAP_OK)
            return; // no HTTP request was read: nothing to log
        serve();
        if (!requestLine.empty())
            shared.log.Write(client, std::time(nullptr), requestLine, responseCode == 0 ? 400 : responseCode, size);
        destroy();
    }

    int testWebService(char** testWebServiceReturn) override
    {
        if (int refused = Authorise())
            return refused;
        *testWebServiceReturn = soap_strdup(this, "Pelloran tuning service is running");
        return SOAP_OK;
    }

    int validateUser(ArrayOf_USCORExsd_USCOREstring* params, char** result) override
    {
        if (int refused = Authorise())
            return refused;
        const Announcement announcement = CheckAnnouncement(Items(params), serviceUserId, serviceSecret);
        if (announcement.verdict == '0')
            shared.memory.Remember(announcement.identifier, announcement.profile);
        const char verdict[2] = {announcement.verdict, '\0'};
        *result = soap_strdup(this, verdict);
        return SOAP_OK;
    }

    int getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring* params, ns2__getQuorvelInfoResponse& response) override
    {
        if (int refused = Authorise())
            return refused;
        ValuesRequest request;
        const std::string problem = ReadValuesRequest(Items(params), request);
        if (!problem.empty())
            return soap_senderfault(soap_strdup(this, ("Malformed getQuorvelInfo request: " + problem).c_str()), nullptr);
        // Values for a version nobody announced could name parameters the server refuses.
        const std::optional<AnnouncedProfile> profile = shared.memory.Recall(request.identifier);
        if (!profile)
            return soap_senderfault(unknownExchangeFault, nullptr);
        const auto values = ComputeValues(request, *profile);

        auto* pairs = soap_new_ArrayOfArrayOf_USCORExsd_USCOREstring(this);
        pairs->__size = static_cast<int>(parameterCount);
        pairs->__ptr = soap_new_ArrayOf_USCORExsd_USCOREstring(this, pairs->__size);
        for (std::size_t i = 0; i < parameterCount; ++i) {
            ArrayOf_USCORExsd_USCOREstring& pair = pairs->__ptr[i];
            pair.__size = 2;
            pair.__ptr = static_cast<char**>(soap_malloc(this, 2 * sizeof(char*)));
            pair.__ptr[0] = Hex(parameterNames[i]);
            pair.__ptr[1] = Hex(values[i].c_str());
        }
        response._getQuorvelInfoReturn = pairs;
        return SOAP_OK;
    }

private:
    int Authorise()
    {
        if (SameText(userid, serviceUserId) && SameText(passwd, serviceSecret))
            return SOAP_OK;
        authrealm = realm;
        return 401;
    }

    static HexItems Items(const ArrayOf_USCORExsd_USCOREstring* params)
    {
        HexItems items;
        if (params != nullptr && params->__ptr != nullptr)
            items.assign(params->__ptr, params->__ptr + std::max(params->__size, 0));
        return items;
    }

    char* Hex(const char* text)
    {
        char* hex = StrToHexStr(text);
        char* kept = soap_strdup(this, hex);
        std::free(hex);
        return kept;
    }

    static Connection* Of(struct soap* soap) { return static_cast<Connection*>(soap->user); }

    // After the request line and headers: note the request line for the access log.
    static int Parse(struct soap* soap)
    {
        Connection* self = Of(soap);
        const int error = self->shared.originalParse(soap);
        if (self->requestLine.empty() && (soap->status >= SOAP_POST || soap->path[0] != '\0'))
            self->requestLine = std::string(MethodName(soap->status)) + " " + soap->path + " HTTP/" +
                                (soap->http_version != nullptr ? soap->http_version : "1.1");
        // The runtime answers a POST whose body is no SOAP envelope by closing the connection
        // (it takes the method for the error); without the method it sends a fault instead.
        if (error == SOAP_OK && soap->status == SOAP_POST)
            soap->status = 0;
        // The runtime reads on past the announced length and waits for more; stop at the end
        // of the body so that a truncated message fails at once instead of after a time-out.
        if (error == SOAP_OK && soap->length > 0) {
            const std::size_t buffered = soap->buflen - soap->bufidx;
            self->bodyLeft = soap->length > buffered ? soap->length - buffered : 0;
            self->bodyBounded = true;
        }
        // Credentials first: without them nothing of the body is read.
        if (error == SOAP_OK)
            return self->Authorise();
        return error;
    }

    // A body announced larger than the limit is refused before it is read.
    static int ParseHeader(struct soap* soap, const char* key, const char* value)
    {
        Connection* self = Of(soap);
        // While the header lines are read, the request line is still in msgbuf as it came.
        if (self->requestLine.empty())
            self->requestLine.assign(soap->msgbuf, strnlen(soap->msgbuf, sizeof soap->msgbuf));
        if (key != nullptr && value != nullptr && strcasecmp(key, "Content-Length") == 0) {
            char* end = nullptr;
            errno = 0;
            const unsigned long long length = std::strtoull(value, &end, 10);
            if (errno != 0 || end == value || length > static_cast<unsigned long long>(requestBodyLimit))
                return 413;
        }
        return self->shared.originalParseHeader(soap, key, value);
    }

    // Every answer passes here: note its size for the access log.
    static int Response(struct soap* soap, int status, ULONG64 count)
    {
        Of(soap)->size = static_cast<long long>(count);
        return Of(soap)->shared.originalResponse(soap, status, count);
    }

    static std::size_t Receive(struct soap* soap, char* buffer, std::size_t length)
    {
        Connection* self = Of(soap);
        if (!self->bodyBounded)
            return self->shared.originalReceive(soap, buffer, length);
        if (self->bodyLeft == 0)
            return 0;
        const std::size_t got = self->shared.originalReceive(soap, buffer, std::min<std::size_t>(length, self->bodyLeft));
        self->bodyLeft -= std::min(got, self->bodyLeft);
        return got;
    }

    // The status line of the answer is posted as the first header: note its code.
    static int PostHeader(struct soap* soap, const char* key, const char* value)
    {
        Connection* self = Of(soap);
        if (self->responseCode == 0 && key != nullptr && std::strncmp(key, "HTTP/", 5) == 0) {
            const char* code = value != nullptr ? value : std::strchr(key, ' ');
            if (code != nullptr)
                self->responseCode = std::atoi(code);
        }
        return self->shared.originalPostHeader(soap, key, value);
    }

    Shared& shared;
    std::string client;
    std::string requestLine;
    int responseCode = 0; // 0 until an answer was sent
    bool bodyBounded = false;
    std::size_t bodyLeft = 0;
    long long size = 0;
};

} // namespace

struct TuningServer::Impl
{
    ServiceOptions options;
    Shared shared;
    struct soap listener;
    int port = 0;

    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Connection*> queue;
    bool closing = false;

    Impl(const ServiceOptions& options, AccessLog& log, ExchangeMemory& memory)
        : options(options), shared{log, memory}
    {
        soap_init2(&listener, SOAP_IO_DEFAULT, SOAP_IO_DEFAULT | SOAP_XML_TREE);
    }
    ~Impl()
    {
        soap_destroy(&listener);
        soap_end(&listener);
        soap_done(&listener);
    }

    bool SetUpTls(std::string& error)
    {
        for (const std::string* file : {&options.certificateFile, &options.keyFile}) {
            std::FILE* f = std::fopen(file->c_str(), "r");
            if (f == nullptr) {
                error = std::string("cannot read ") + (file == &options.keyFile ? "the key " : "the certificate ") +
                        *file + ": " + std::strerror(errno);
                return false;
            }
            std::fclose(f);
        }
        if (soap_ssl_server_context(&listener, SOAP_SSL_NO_AUTHENTICATION | SOAP_TLSv1_2 | SOAP_TLSv1_3, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != SOAP_OK) {
            error = "cannot set up TLS";
            return false;
        }
        SSL_CTX* context = listener.ctx;
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        ERR_clear_error();
        if (SSL_CTX_use_certificate_chain_file(context, options.certificateFile.c_str()) != 1) {
            error = "the certificate " + options.certificateFile + " is not a PEM certificate (" + SslError() + ")";
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(context, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = "the key " + options.keyFile + " is not a PEM private key (" + SslError() + ")";
            return false;
        }
        if (SSL_CTX_check_private_key(context) != 1) {
            error = "the key " + options.keyFile + " does not belong to the certificate " + options.certificateFile;
            return false;
        }
        return true;
    }

    static std::string SslError()
    {
        char text[256] = "unknown reason";
        if (unsigned long code = ERR_peek_last_error())
            ERR_error_string_n(code, text, sizeof text);
        ERR_clear_error();
        return text;
    }

    // Gives a connection that has something to say to a worker.
    void Hand(Connection* connection)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.size() >= queueLimit) {
            lock.unlock();
            Close(connection); // overloaded: close rather than queue without bound
            return;
        }
        queue.push_back(connection);
        lock.unlock();
        ready.notify_one();
    }

    static void Close(Connection* connection)
    {
        soap_force_closesock(connection);
        delete connection;
    }

    void Work()
    {
        for (;;) {
            Connection* connection = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [this] { return closing || !queue.empty(); });
                if (queue.empty())
                    return;
                connection = queue.front();
                queue.pop_front();
            }
            connection->Serve(!options.plainHttp);
            Close(connection);
        }
    }
};

TuningServer::TuningServer(const ServiceOptions& options, AccessLog& log, ExchangeMemory& memory)
    : impl(std::make_unique<Impl>(options, log, memory))
{
}

TuningServer::~TuningServer() = default;

bool TuningServer::Start(std::string& error)
{
    struct soap& listener = impl->listener;
    if (!impl->options.plainHttp && !impl->SetUpTls(error))
        return false;
    listener.bind_flags = SO_REUSEADDR;
    listener.accept_timeout = -200000; // 0.2 s: the loop looks at the stop flag that often
    listener.recv_timeout = impl->options.receiveTimeout;
    listener.send_timeout = impl->options.sendTimeout;
    listener.transfer_timeout = impl->options.transferTimeout;
    listener.recv_maxlength = requestBodyLimit + 16 * 1024; // the body and a generous header
    impl->shared.originalParse = listener.fparse;
    impl->shared.originalParseHeader = listener.fparsehdr;
    impl->shared.originalResponse = listener.fresponse;
    impl->shared.originalPostHeader = listener.fposthdr;
    impl->shared.originalReceive = listener.frecv;
    if (!soap_valid_socket(soap_bind(&listener, impl->options.host.c_str(), impl->options.port, 128))) {
        const int code = listener.errnum;
        error = "cannot listen on " + impl->options.host + ":" + std::to_string(impl->options.port) + ": " +
                (code != 0 ? std::strerror(code) : "the address cannot be used");
        return false;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(listener.master, reinterpret_cast<sockaddr*>(&address), &length);
    impl->port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return true;
}

int TuningServer::Port() const { return impl->port; }

std::string TuningServer::Address() const
{
    const std::string& host = impl->options.host;
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(impl->options.plainHttp ? "http" : "https") + "://" + shown + ":" + std::to_string(impl->port) +
           "/authws/services/AuthenticationService";
}

void TuningServer::Run(const std::atomic<bool>& stop)
{
    std::vector<std::thread> workers;
    for (int i = 0; i < impl->options.workers; ++i)
        workers.emplace_back([this] { impl->Work(); });

    // Accepted connections that have not sent a byte yet wait here, not in a worker, so that
    // clients that connect and stay silent cannot occupy the pool.
    struct Waiting
    {
        Connection* connection;
        std::chrono::steady_clock::time_point since;
    };
    std::vector<Waiting> waiting;
    const auto silenceLimit = std::chrono::seconds(impl->options.receiveTimeout);

    struct soap& listener = impl->listener;
    std::vector<pollfd> polled;
    while (!stop) {
        polled.assign(1, pollfd{listener.master, POLLIN, 0});
        for (const Waiting& w : waiting)
            polled.push_back(pollfd{w.connection->socket, POLLIN, 0});
        if (poll(polled.data(), polled.size(), 200) < 0)
            continue; // a signal: look at the stop flag
        const auto now = std::chrono::steady_clock::now();
        std::vector<Waiting> still;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            Connection* connection = waiting[i].connection;
            if (polled[i + 1].revents != 0)
                impl->Hand(connection);
            else if (now - waiting[i].since >= silenceLimit)
                impl->Close(connection);
            else
                still.push_back(waiting[i]);
        }
        waiting.swap(still);
        if ((polled[0].revents & POLLIN) == 0)
            continue;
        if (!soap_valid_socket(soap_accept(&listener))) {
            // Out of file descriptors: the connection stays in the backlog; do not spin on it.
            if (listener.errnum == EMFILE || listener.errnum == ENFILE)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue; // else a client that went away at once
        }
        auto* connection = new Connection(listener, impl->shared);
        listener.socket = SOAP_INVALID_SOCKET; // the connection owns it now
        if (waiting.size() >= silentLimit)
            impl->Close(connection); // overloaded: close rather than hold without bound
        else
            waiting.push_back(Waiting{connection, now});
    }
    for (const Waiting& w : waiting)
        impl->Close(w.connection);
    soap_closesocket(listener.master);
    listener.master = SOAP_INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->closing = true;
    }
    impl->ready.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}
