#include "service/tuning_server.h"

#include "service/tuning_operations.h"
#include "protocol/maker_constants.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

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
#include <unordered_map>
#include <vector>

namespace {

constexpr const char* realm = "Pelloran tuning service";
// Connections being handshaken and read (one table for all front loops), and connections
// waiting for a worker. When the first are all taken, the one that has sent fewest bytes for
// its age makes room for a new one: whoever holds places by keeping silent or trickling loses
// them to clients that talk. Together they stay well below the usual limit of 1024 open files.
constexpr std::size_t waitingLimit = 512;
constexpr std::size_t queueLimit = 256;

struct Shared
{
    AccessLog& log;
    ExchangeStore& store;
    ClientLimits& limits;
    Metrics& metrics;
    int (*originalParse)(struct soap*) = nullptr;
    int (*originalParseHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*originalResponse)(struct soap*, int, ULONG64) = nullptr;
    int (*originalPostHeader)(struct soap*, const char*, const char*) = nullptr;
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

struct Pending;

// The waiting places every front loop takes from. Entries are only read under the lock, and a
// connection leaves the table before it is freed or handed on.
class WaitingPlaces
{
public:
    WaitingPlaces(std::size_t limit, Metrics& metrics) : limit(limit), metrics(metrics) {}
    // Gives `connection` a place; when none is free, the connection that has made least
    // progress for its age loses its own: its socket is shut down, which wakes the loop that
    // holds it to drop it.
    void Enter(Pending& connection);
    void Leave(Pending& connection);

private:
    void Remove(Pending& connection); // under the lock

    std::mutex mutex;
    const std::size_t limit;
    Metrics& metrics;
    std::vector<Pending*> held;
};

// A connection from its accept until its request is complete: handshaken and read by a front
// loop without holding a worker, and small, since the SOAP context is made only for a worker.
struct Pending
{
    int socket = -1;
    SSL* ssl = nullptr; // made when the first bytes come; null over plain HTTP
    bool handshaken = false;
    bool refused = false; // over its address's limit: answered with a refusal, not by a worker
    std::uint32_t watched = 0; // the events the front loop waits for
    std::string client; // the address as the access log shows it
    ClientKey key;      // the address as the limits count it
    ClientLimits* limits = nullptr; // set once the connection is counted there
    std::string bytes;  // what arrived of the request
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point arrived; // when the request was complete
    std::chrono::steady_clock::time_point accepted;
    std::atomic<std::size_t> received{0}; // bytes read from the socket, TLS records included
    std::atomic<bool> pushedOut{false};   // its place was given to a newer connection
    WaitingPlaces* table = nullptr;       // where it took a place
    bool holding = false;                 // under the table's lock: whether it holds one
    std::size_t place = 0;                // its index there, under the table's lock

    ~Pending()
    {
        if (table != nullptr)
            table->Leave(*this);
        if (ssl != nullptr)
            SSL_free(ssl);
        if (socket >= 0)
            close(socket);
        if (limits != nullptr)
            limits->Release(key);
    }
};

void WaitingPlaces::Enter(Pending& connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (held.size() >= limit && !held.empty()) {
        // Bytes per second of age, a byte granted: a new client's first flight ranks it far
        // above a silent or trickling connection, and among silent ones the oldest goes.
        const auto now = std::chrono::steady_clock::now();
        auto progress = [&](const Pending* p) {
            const double age = std::chrono::duration<double>(now - p->accepted).count() + 0.001;
            return static_cast<double>(p->received.load() + 1) / age;
        };
        Pending* victim = *std::min_element(held.begin(), held.end(), [&](const Pending* a, const Pending* b) {
            return progress(a) < progress(b);
        });
        Remove(*victim);
        victim->pushedOut = true;
        shutdown(victim->socket, SHUT_RDWR);
        metrics.ConnectionRefused("least_progress_closed");
    }
    connection.table = this;
    connection.holding = true;
    connection.place = held.size();
    held.push_back(&connection);
}

void WaitingPlaces::Leave(Pending& connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (connection.holding) // else left already, or pushed out
        Remove(connection);
}

void WaitingPlaces::Remove(Pending& connection)
{
    connection.holding = false;
    held[connection.place] = held.back();
    held[connection.place]->place = connection.place;
    held.pop_back();
}

// Counts what the TLS layer reads from a waiting connection's socket, as its progress.
long CountReceived(BIO* bio, int operation, const char*, std::size_t, int, long, int result, std::size_t* processed)
{
    if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr)
        reinterpret_cast<Pending*>(BIO_get_callback_arg(bio))->received += *processed;
    return result;
}

// One connection: a copy of the listening context, served by one worker.
class Connection : public TuningOperations
{
public:
    Connection(const struct soap& listener, Shared& shared, Pending& pending)
        : TuningOperations(listener, shared.store), shared(shared), client(pending.client), key(pending.key), arrivedAt(pending.arrived)
    {
        user = this;
        fparse = Parse;
        fparsehdr = ParseHeader;
        fresponse = Response;
        fposthdr = PostHeader;
        frecv = Receive;
        // The context owns the socket and the TLS state from here on.
        if (pending.ssl != nullptr)
            BIO_set_callback_ex(SSL_get_rbio(pending.ssl), nullptr);
        socket = pending.socket;
        ssl = pending.ssl;
        pending.socket = -1;
        pending.ssl = nullptr;
        arrived.swap(pending.bytes);
    }

    AuthenticationServiceSoapBindingService* copy() override { return nullptr; } // never copied

    void Serve()
    {
        serve();
        if (!requestLine.empty()) {
            const int status = responseCode == 0 ? 400 : responseCode;
            shared.log.Write(client, std::time(nullptr), requestLine, status, size);
            shared.metrics.Request(operation, status,
                                   std::chrono::duration<double>(std::chrono::steady_clock::now() - arrivedAt).count());
        }
        destroy();
    }

private:
    int Admit(const char* called) override
    {
        operation = called;
        return Authorise();
    }

    int AdmitAnnouncement(char verdict) override
    {
        shared.metrics.Verdict(verdict);
        if (verdict == '0' && !shared.limits.AllowAnnouncement(key))
            return soap_senderfault(soap_strdup(this, ("Too many announcements from this address: at most " +
                                                       std::to_string(shared.limits.AnnouncementsPerMinute()) +
                                                       " a minute")
                                                          .c_str()),
                                    nullptr);
        return SOAP_OK;
    }

    std::string Owner() const override { return key.text.empty() ? client : key.text; }

    int Authorise()
    {
        if (SameText(userid, serviceUserId) && SameText(passwd, serviceSecret))
            return SOAP_OK;
        authrealm = realm;
        return 401;
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
        if (key != nullptr && value != nullptr && strcasecmp(key, "Content-Length") == 0 && !AcceptedBodyLength(value))
            return 413;
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
            return self->Take(buffer, length);
        if (self->bodyLeft == 0)
            return 0;
        const std::size_t got = self->Take(buffer, std::min<std::size_t>(length, self->bodyLeft));
        self->bodyLeft -= std::min(got, self->bodyLeft);
        return got;
    }

    // Only what the front loop read, which framed the whole request: a worker never waits
    // for a client.
    std::size_t Take(char* buffer, std::size_t length)
    {
        const std::size_t count = std::min(length, arrived.size() - arrivedTaken);
        std::memcpy(buffer, arrived.data() + arrivedTaken, count);
        arrivedTaken += count;
        return count;
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
    ClientKey key;
    std::chrono::steady_clock::time_point arrivedAt;
    const char* operation = ""; // the operation called, once known
    std::string arrived;
    std::size_t arrivedTaken = 0;
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
    std::deque<std::unique_ptr<Pending>> queue;
    bool closing = false;
    WaitingPlaces places;

    Impl(const ServiceOptions& options, AccessLog& log, ExchangeStore& store, ClientLimits& limits, Metrics& metrics)
        : options(options), shared{log, store, limits, metrics}, places(waitingLimit, metrics)
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
        // The chain sent is built once, here; left to itself OpenSSL builds it again in every
        // handshake, searching the system's certificate folder each time.
        SSL_CTX_build_cert_chain(context, SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
        // A waiting connection keeps no empty 16 kB read and write buffers.
        SSL_CTX_set_mode(context, SSL_MODE_NO_AUTO_CHAIN | SSL_MODE_RELEASE_BUFFERS);
        ERR_clear_error();
        // The three calls of an exchange come on three connections: tickets let the later two
        // skip the full handshake. One is enough for a client that makes one exchange.
        if (options.sessionTickets) {
            SSL_CTX_clear_options(context, SSL_OP_NO_TICKET);
            SSL_CTX_set_num_tickets(context, 1);
        } else {
            SSL_CTX_set_num_tickets(context, 0);
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

    // Gives a complete request to a worker.
    void Hand(std::unique_ptr<Pending> request)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.size() >= queueLimit)
            return; // overloaded: close rather than queue without bound
        queue.push_back(std::move(request));
        lock.unlock();
        ready.notify_one();
    }

    void Work()
    {
        for (;;) {
            std::unique_ptr<Pending> request;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [this] { return closing || !queue.empty(); });
                if (queue.empty())
                    return;
                request = std::move(queue.front());
                queue.pop_front();
            }
            Connection connection(listener, shared, *request);
            connection.Serve();
            Finish(connection);
        }
    }

    // Sends close_notify and closes. Waiting for the client's own close_notify, as the
    // runtime would, holds a worker for a round trip (up to 5 s) after every answer.
    static void Finish(Connection& connection)
    {
        if (SSL* ssl = connection.ssl) {
            connection.ssl = nullptr;
            if (SSL_get_shutdown(ssl) == 0 && connection.error != SOAP_SSL_ERROR)
                SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        soap_force_closesock(&connection);
    }

    // One front loop: accepts, does the TLS handshake and reads the request of many
    // connections at once, each bounded by one deadline, and hands complete requests on.
    void Front(const std::atomic<bool>& stop);
    struct FrontState;
    // Moves a connection on as far as its bytes allow; false when it is finished with (failed,
    // refused, or handed to a worker).
    bool Advance(Pending& pending, int epoll, std::unique_ptr<Pending>& owner);
    void Accept(FrontState& front);
    // Answers from the front loop with `status`, closes, and logs it.
    void Refuse(Pending& pending, int status);
};

// The connections one front loop holds.
struct TuningServer::Impl::FrontState
{
    int epoll = -1;
    std::unordered_map<Pending*, std::unique_ptr<Pending>> pending;
};

namespace {

// How far the bytes of a request go: incomplete, complete (the header and the body it
// announces, or something only a worker can answer, such as a length over the limit), or
// refused by the front loop with an HTTP status. The body is framed here, once, so that a
// worker is given a whole request and never waits for a client.
struct Framing
{
    bool complete = false;
    int refusal = 0;
};

Framing FrameRequest(const std::string& bytes)
{
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos)
        return {bytes.size() >= requestHeaderLimit, 0};
    std::optional<unsigned long long> length;
    int lengths = 0;
    std::size_t line = bytes.find("\r\n");
    while (line < end) {
        line += 2;
        const char* header = bytes.c_str() + line;
        constexpr char lengthName[] = "content-length:";
        constexpr char codingName[] = "transfer-encoding:";
        if (strncasecmp(header, codingName, sizeof codingName - 1) == 0)
            return {true, 400}; // chunked: its end is whenever the client pleases
        if (strncasecmp(header, lengthName, sizeof lengthName - 1) == 0) {
            if (++lengths > 1)
                return {true, 400}; // which one the runtime would believe is not ours to guess
            length = AcceptedBodyLength(header + sizeof lengthName - 1);
            if (!length)
                return {true, 0}; // the worker refuses it from the header alone
        }
        line = bytes.find("\r\n", line);
    }
    if (lengths == 0)
        return {true, bytes.compare(0, 5, "POST ") == 0 ? 411 : 0};
    return {bytes.size() >= end + 4 + *length, 0};
}

std::string AddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        const in6_addr& ip6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&ip6))
            inet_ntop(AF_INET, &ip6.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &ip6, text, sizeof text);
    } else if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    }
    return text;
}

void Watch(int epoll, int operation, Pending& pending, std::uint32_t events)
{
    if (operation == EPOLL_CTL_MOD && pending.watched == events)
        return; // a system call saved: they cost much on a virtual machine
    pending.watched = events;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &pending;
    epoll_ctl(epoll, operation, pending.socket, &event);
}

} // namespace

void TuningServer::Impl::Accept(FrontState& front)
{
    // A few at a time, so that the other front loops get their share.
    for (int accepted = 0; accepted < 16; ++accepted) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int socket = accept4(listener.master, reinterpret_cast<sockaddr*>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            // Out of file descriptors: the connection stays in the backlog; do not spin on it.
            if (errno == EMFILE || errno == ENFILE)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return; // else none left, or a client that went away at once
        }
        auto connection = std::make_unique<Pending>();
        connection->socket = socket;
        connection->accepted = std::chrono::steady_clock::now();
        connection->key = shared.limits.KeyOf(address);
        const Admission admission = shared.limits.Admit(connection->key);
        connection->limits = &shared.limits;
        if (admission != Admission::Admitted)
            shared.metrics.ConnectionRefused("address_limit");
        if (admission == Admission::Dropped)
            continue;
        connection->refused = admission == Admission::Refused;
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connection->client = AddressText(address);
        connection->deadline = connection->accepted + std::chrono::seconds(options.requestDeadline);
        connection->handshaken = options.plainHttp;
        places.Enter(*connection);
        Watch(front.epoll, EPOLL_CTL_ADD, *connection, EPOLLIN);
        Pending* key = connection.get();
        front.pending.emplace(key, std::move(connection));
    }
}

void TuningServer::Impl::Refuse(Pending& pending, int status)
{
    // Short answers: they fit the socket's buffer, or the client is not reading anyway.
    struct Refusal
    {
        int status;
        const char* head;
        const char* body;
    };
    static const Refusal refusals[] = {
        {429, "429 Too Many Requests\r\nRetry-After: 60", "Too many connections from this address\n"},
        {411, "411 Length Required", "A request body needs a Content-Length\n"},
        {400, "400 Bad Request", "Send a request body with one Content-Length, not chunked and not with several\n"},
    };
    // The last one for any other status.
    const Refusal& refusal = *std::find_if(std::begin(refusals), std::end(refusals) - 1,
                                           [&](const Refusal& r) { return r.status == status; });
    const std::string body = refusal.body;
    const std::string answer = std::string("HTTP/1.1 ") + refusal.head + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    if (pending.ssl != nullptr) {
        if (SSL_write(pending.ssl, answer.data(), static_cast<int>(answer.size())) > 0)
            SSL_shutdown(pending.ssl);
    } else {
        send(pending.socket, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    shutdown(pending.socket, SHUT_WR);
    const std::string requestLine = pending.bytes.substr(0, std::min(pending.bytes.find("\r\n"), std::size_t{1024}));
    shared.log.Write(pending.client, std::time(nullptr), requestLine, refusal.status, static_cast<long long>(body.size()));
    shared.metrics.Request("", refusal.status, 0);
}

bool TuningServer::Impl::Advance(Pending& pending, int epoll, std::unique_ptr<Pending>& owner)
{
    if (pending.pushedOut)
        return false;
    auto waitFor = [&](int result) {
        const int error = SSL_get_error(pending.ssl, result);
        if (error == SSL_ERROR_WANT_READ)
            Watch(epoll, EPOLL_CTL_MOD, pending, EPOLLIN);
        else if (error == SSL_ERROR_WANT_WRITE)
            Watch(epoll, EPOLL_CTL_MOD, pending, EPOLLOUT);
        else
            return false;
        return true;
    };
    ERR_clear_error();
    if (!pending.handshaken) {
        if (pending.ssl == nullptr) {
            // Only now: a silent connection costs no TLS state.
            pending.ssl = SSL_new(listener.ctx);
            if (pending.ssl == nullptr || SSL_set_fd(pending.ssl, pending.socket) != 1)
                return false;
            BIO_set_callback_arg(SSL_get_rbio(pending.ssl), reinterpret_cast<char*>(&pending));
            BIO_set_callback_ex(SSL_get_rbio(pending.ssl), CountReceived);
            SSL_set_accept_state(pending.ssl);
        }
        const int result = SSL_do_handshake(pending.ssl);
        if (result != 1) {
            if (waitFor(result))
                return true;
            shared.metrics.HandshakeFailed(); // no HTTP request was read: nothing to log
            return false;
        }
        pending.handshaken = true;
        Watch(epoll, EPOLL_CTL_MOD, pending, EPOLLIN);
    }
    char chunk[16384];
    Framing framing = FrameRequest(pending.bytes);
    while (!framing.complete) {
        const std::size_t room = std::min(sizeof chunk, static_cast<std::size_t>(requestHeaderLimit + requestBodyLimit) - pending.bytes.size());
        if (pending.ssl != nullptr) {
            const int got = SSL_read(pending.ssl, chunk, static_cast<int>(room));
            if (got <= 0)
                return waitFor(got); // a request cut short gets no answer
            pending.bytes.append(chunk, static_cast<std::size_t>(got));
        } else {
            const ssize_t got = recv(pending.socket, chunk, room, 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return true;
            if (got <= 0)
                return false;
            pending.received += static_cast<std::size_t>(got);
            pending.bytes.append(chunk, static_cast<std::size_t>(got));
        }
        framing = FrameRequest(pending.bytes);
    }
    epoll_ctl(epoll, EPOLL_CTL_DEL, pending.socket, nullptr);
    places.Leave(pending);
    pending.arrived = std::chrono::steady_clock::now();
    if (pending.refused || framing.refusal != 0)
        Refuse(pending, pending.refused ? 429 : framing.refusal);
    else
        Hand(std::move(owner));
    return false;
}

void TuningServer::Impl::Front(const std::atomic<bool>& stop)
{
    FrontState front;
    front.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (front.epoll < 0)
        return;
    epoll_event listening{};
    listening.events = EPOLLIN | EPOLLEXCLUSIVE;
    listening.data.ptr = nullptr;
    epoll_ctl(front.epoll, EPOLL_CTL_ADD, listener.master, &listening);

    epoll_event events[64];
    auto nextSweep = std::chrono::steady_clock::now();
    while (!stop) {
        // 0.2 s at most: the loop looks at the stop flag that often.
        const int count = epoll_wait(front.epoll, events, 64, 200);
        for (int i = 0; i < count; ++i) {
            auto* key = static_cast<Pending*>(events[i].data.ptr);
            if (key == nullptr) {
                Accept(front);
                continue;
            }
            auto found = front.pending.find(key);
            if (found == front.pending.end())
                continue;
            if (!Advance(*key, front.epoll, found->second))
                front.pending.erase(found); // handed on (the pointer is then empty), refused or failed
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextSweep) {
            // One deadline for handshake and request, however slowly the bytes come.
            for (auto it = front.pending.begin(); it != front.pending.end();) {
                if (it->second->pushedOut) {
                    it = front.pending.erase(it);
                } else if (now >= it->second->deadline) {
                    shared.metrics.ConnectionRefused("deadline");
                    it = front.pending.erase(it);
                } else {
                    ++it;
                }
            }
            nextSweep = now + std::chrono::milliseconds(100);
        }
    }
    front.pending.clear();
    close(front.epoll);
}

TuningServer::TuningServer(const ServiceOptions& options, AccessLog& log, ExchangeStore& store, ClientLimits& limits,
                           Metrics& metrics)
    : impl(std::make_unique<Impl>(options, log, store, limits, metrics))
{
}

TuningServer::~TuningServer() = default;

bool TuningServer::Start(std::string& error)
{
    struct soap& listener = impl->listener;
    if (!impl->options.plainHttp && !impl->SetUpTls(error))
        return false;
    listener.bind_flags = SO_REUSEADDR;
    listener.send_timeout = impl->options.sendTimeout;
    listener.transfer_timeout = impl->options.transferTimeout;
    listener.recv_maxlength = requestBodyLimit + requestHeaderLimit;
    impl->shared.originalParse = listener.fparse;
    impl->shared.originalParseHeader = listener.fparsehdr;
    impl->shared.originalResponse = listener.fresponse;
    impl->shared.originalPostHeader = listener.fposthdr;
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
    // A front loop per processor: handshakes are most of the work.
    std::vector<std::thread> fronts;
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 1; i < processors; ++i)
        fronts.emplace_back([this, &stop] { impl->Front(stop); });
    impl->Front(stop);
    for (std::thread& front : fronts)
        front.join();

    soap_closesocket(impl->listener.master);
    impl->listener.master = SOAP_INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->closing = true;
    }
    impl->ready.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}
