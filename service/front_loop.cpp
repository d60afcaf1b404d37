#include "service/front_loop.h"

#include "service/http_framing.h"
#include "service/proxy_header.h"
#include "service/tuning_operations.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

// Counts what the TLS layer reads from a waiting connection's socket, as its progress.
long CountReceived(BIO* bio, int operation, const char*, std::size_t, int, long, int result, std::size_t* processed)
{
    if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr)
        reinterpret_cast<PendingRequest*>(BIO_get_callback_arg(bio))->received += *processed;
    return result;
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

void Watch(int epoll, int operation, PendingRequest& pending, std::uint32_t events)
{
    if (operation == EPOLL_CTL_MOD && pending.watched == events)
        return; // a system call saved: they cost much on a virtual machine
    pending.watched = events;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &pending;
    epoll_ctl(epoll, operation, pending.socket, &event);
}

class FrontLoop
{
public:
    explicit FrontLoop(FrontParts& parts)
        : parts(parts), answer(parts.answerHere ? parts.answerHere() : WorkerPool::Serve())
    {
    }
    void Run(const StopSignal& stop);

private:
    // Takes up to `most` connections waiting on the listening socket.
    void Accept(int most);
    // From the stop on: takes what already waits, then refuses new connections.
    void StopAccepting(const StopSignal& stop);
    // Counts the connection as `address`'s under the per-address limits; false when it is to be
    // closed at once.
    bool Admit(PendingRequest& connection, const sockaddr_storage& address);
    // Takes a balancer's header off the connection, and no byte beyond it. False when the
    // connection is to be closed; until the header is whole it still awaits it.
    bool TakeProxyHeader(PendingRequest& pending);
    // Moves a connection on as far as its bytes allow; false when it is finished with (failed,
    // refused, or handed to a worker).
    bool Advance(PendingRequest& pending, std::unique_ptr<PendingRequest>& owner);
    // Answers from the front loop with `status`, closes, and logs it.
    void Refuse(PendingRequest& pending, int status);
    // Drops the connections past their deadline or pushed out of their place.
    void Sweep(Clock::time_point now);

    FrontParts& parts;
    const WorkerPool::Serve answer; // empty when the workers answer
    int epoll = -1;
    std::unordered_map<PendingRequest*, std::unique_ptr<PendingRequest>> held;
    // The next sweep: at the first deadline, and none while no connection waits.
    std::optional<Clock::time_point> nextSweep;
};

void FrontLoop::Accept(int most)
{
    for (int accepted = 0; accepted < most; ++accepted) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int socket = accept4(parts.listening, reinterpret_cast<sockaddr*>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            // Out of file descriptors: the connection stays in the backlog; do not spin on it.
            if (errno == EMFILE || errno == ENFILE)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return; // else none left, or a client that went away at once
        }
        auto connection = std::make_unique<PendingRequest>();
        connection->socket = socket;
        connection->accepted = Clock::now();
        connection->client = AddressText(address);
        // A balancer's connection counts as its client's, known once the header has come.
        connection->awaitsProxyHeader = WithinAny(address, parts.proxyNetworks);
        if (!connection->awaitsProxyHeader && !Admit(*connection, address))
            continue;
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connection->deadline = connection->accepted + parts.requestDeadline;
        connection->handshaken = parts.tls == nullptr;
        parts.places.Enter(*connection);
        Watch(epoll, EPOLL_CTL_ADD, *connection, EPOLLIN);
        if (!nextSweep)
            nextSweep = connection->deadline; // the others, accepted later, end later
        PendingRequest* key = connection.get();
        held.emplace(key, std::move(connection));
    }
}

bool FrontLoop::Admit(PendingRequest& connection, const sockaddr_storage& address)
{
    connection.client = AddressText(address);
    connection.key = parts.limits.KeyOf(address);
    const Admission admission = parts.limits.Admit(connection.key);
    connection.limits = &parts.limits;
    if (admission != Admission::Admitted)
        parts.metrics.ConnectionRefused("address_limit");
    connection.refused = admission == Admission::Refused;
    return admission != Admission::Dropped;
}

bool FrontLoop::TakeProxyHeader(PendingRequest& pending)
{
    char peeked[proxyHeaderLimit];
    const ssize_t got = recv(pending.socket, peeked, proxyHeaderLimit - pending.bytes.size(), MSG_PEEK);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    if (got <= 0)
        return false;
    const std::string seen = pending.bytes + std::string(peeked, static_cast<std::size_t>(got));
    const ProxyHeader header = ReadProxyHeader(seen);
    if (header.state == ProxyHeader::State::Invalid) {
        parts.metrics.ConnectionRefused("proxy_header");
        return false;
    }
    // What was peeked is all header until it ends; after it come the client's own bytes, left
    // in the socket for the TLS handshake.
    const std::size_t take = header.state == ProxyHeader::State::Complete ? header.length - pending.bytes.size()
                                                                          : static_cast<std::size_t>(got);
    if (recv(pending.socket, peeked, take, 0) != static_cast<ssize_t>(take))
        return false;
    pending.received += take;
    if (header.state == ProxyHeader::State::Incomplete) {
        pending.bytes = seen;
        return true;
    }
    pending.bytes.clear();
    pending.awaitsProxyHeader = false;
    sockaddr_storage client = header.client;
    socklen_t length = sizeof client;
    if (!header.carriesClient && getpeername(pending.socket, reinterpret_cast<sockaddr*>(&client), &length) != 0)
        return false;
    return Admit(pending, client);
}

void FrontLoop::Refuse(PendingRequest& pending, int status)
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
    const std::string answer = ClosingAnswer(refusal.head, "text/plain", body);
    if (pending.ssl != nullptr) {
        if (SSL_write(pending.ssl, answer.data(), static_cast<int>(answer.size())) > 0)
            SSL_shutdown(pending.ssl);
    } else {
        send(pending.socket, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    shutdown(pending.socket, SHUT_WR);
    const std::string requestLine = pending.bytes.substr(0, std::min(pending.bytes.find("\r\n"), std::size_t{1024}));
    parts.log.Write(pending.client, std::time(nullptr), requestLine, refusal.status, static_cast<long long>(body.size()));
    parts.metrics.Request("", refusal.status, 0);
}

bool FrontLoop::Advance(PendingRequest& pending, std::unique_ptr<PendingRequest>& owner)
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
    if (pending.awaitsProxyHeader) {
        if (!TakeProxyHeader(pending))
            return false;
        if (pending.awaitsProxyHeader)
            return true; // the rest of it is on its way
    }
    ERR_clear_error();
    if (!pending.handshaken) {
        if (pending.ssl == nullptr) {
            // Only now: a silent connection costs no TLS state.
            pending.ssl = parts.tls->NewConnection();
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
            parts.metrics.HandshakeFailed(); // no HTTP request was read: nothing to log
            return false;
        }
        pending.handshaken = true;
        Watch(epoll, EPOLL_CTL_MOD, pending, EPOLLIN);
    }
    char chunk[16384];
    RequestFraming framing = FrameRequest(pending.bytes, requestHeaderLimit, requestBodyLimit);
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
        framing = FrameRequest(pending.bytes, requestHeaderLimit, requestBodyLimit);
    }
    epoll_ctl(epoll, EPOLL_CTL_DEL, pending.socket, nullptr);
    parts.places.Leave(pending);
    pending.arrived = Clock::now();
    if (pending.refused || framing.refusal != 0)
        Refuse(pending, pending.refused ? 429 : framing.refusal);
    else if (answer)
        answer(pending);
    else
        parts.workers.Hand(std::move(owner));
    return false;
}

void FrontLoop::Sweep(Clock::time_point now)
{
    // One deadline for handshake and request, however slowly the bytes come.
    std::optional<Clock::time_point> first;
    for (auto it = held.begin(); it != held.end();) {
        if (it->second->pushedOut) {
            it = held.erase(it);
        } else if (now >= it->second->deadline) {
            parts.metrics.ConnectionRefused("deadline");
            it = held.erase(it);
        } else {
            first = std::min(first.value_or(it->second->deadline), it->second->deadline);
            ++it;
        }
    }
    // A tenth of a second apart at most often, since each sweep looks at every connection.
    if (first)
        nextSweep = std::max(*first, now + std::chrono::milliseconds(100));
    else
        nextSweep.reset();
}

void FrontLoop::StopAccepting(const StopSignal& stop)
{
    // Connections the kernel completed before the stop are clients that were promised an
    // answer. Shutting a listening socket down makes the kernel refuse newer ones at once, for
    // every loop that shares it; the descriptor itself stays open until all loops are done.
    Accept(1 << 20);
    shutdown(parts.listening, SHUT_RDWR);
    epoll_ctl(epoll, EPOLL_CTL_DEL, parts.listening, nullptr);
    epoll_ctl(epoll, EPOLL_CTL_DEL, stop.Descriptor(), nullptr); // it stays readable
}

void FrontLoop::Run(const StopSignal& stop)
{
    epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return;
    // The listening socket and the stop signal carry keys no connection has: none, and this loop.
    epoll_event listening{};
    listening.events = EPOLLIN | EPOLLEXCLUSIVE;
    listening.data.ptr = nullptr;
    epoll_ctl(epoll, EPOLL_CTL_ADD, parts.listening, &listening);
    epoll_event stopping{};
    stopping.events = EPOLLIN;
    stopping.data.ptr = this;
    epoll_ctl(epoll, EPOLL_CTL_ADD, stop.Descriptor(), &stopping);

    epoll_event events[64];
    std::optional<Clock::time_point> drainEnd; // set at the stop
    for (;;) {
        if (stop.Raised() && !drainEnd) {
            StopAccepting(stop);
            drainEnd = Clock::now() + parts.drain;
        }
        if (drainEnd && (held.empty() || Clock::now() >= *drainEnd))
            break;
        std::optional<Clock::time_point> wake = nextSweep;
        if (drainEnd)
            wake = std::min(wake.value_or(*drainEnd), *drainEnd);
        const int count = epoll_wait(epoll, events, 64, WaitTimeout(wake));
        for (int i = 0; i < count; ++i) {
            void* key = events[i].data.ptr;
            if (key == nullptr) {
                Accept(16); // a few at a time, so that the other front loops get their share
                continue;
            }
            auto found = held.find(static_cast<PendingRequest*>(key));
            if (found == held.end())
                continue; // the stop signal, or a connection already dropped
            if (!Advance(*static_cast<PendingRequest*>(key), found->second))
                held.erase(found); // handed on (the pointer is then empty), refused or failed
        }
        const auto now = Clock::now();
        if (nextSweep && now >= *nextSweep)
            Sweep(now);
    }
    held.clear();
    close(epoll);
}

} // namespace

void RunFrontLoop(FrontParts& parts, const StopSignal& stop)
{
    FrontLoop(parts).Run(stop);
}
