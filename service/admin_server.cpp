#include "service/admin_server.h"

#include "service/http_framing.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

AdminServer::~AdminServer()
{
    if (listening >= 0)
        close(listening);
}

bool AdminServer::Start(const std::string& host, int port, std::string& error)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = host + ":" + std::to_string(port);
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        error = "cannot listen on " + where + " for the admin end points: not an address";
        return false;
    }
    listening = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool bound = listening >= 0 && bind(listening, found->ai_addr, found->ai_addrlen) == 0 && listen(listening, 128) == 0;
    const int code = errno;
    freeaddrinfo(found);
    if (!bound) {
        error = "cannot listen on " + where + " for the admin end points: " + std::strerror(code);
        return false;
    }
    return true;
}

namespace {

// Clients served at once; beyond, the oldest is closed to make room.
constexpr std::size_t clientLimit = 256;
// From connecting until the answer has gone out.
constexpr std::chrono::seconds requestDeadline{2};
constexpr std::size_t requestLimit = 8192;

struct Client
{
    int socket;
    std::chrono::steady_clock::time_point deadline;
    std::string request;
    std::string answer; // empty until the request is whole
    std::size_t sent = 0;
};

} // namespace

void AdminServer::Run(const StopSignal& end)
{
    fcntl(listening, F_SETFL, fcntl(listening, F_GETFL) | O_NONBLOCK);
    std::deque<Client> clients; // oldest first, so the first deadline is the front's
    std::vector<pollfd> waiting;
    // Where each waits in `waiting`: the stop signal, the listening socket, then the clients.
    constexpr std::size_t listeningAt = 1, firstClient = 2;
    while (!end.Raised()) {
        waiting.assign({pollfd{end.Descriptor(), POLLIN, 0}, pollfd{listening, POLLIN, 0}});
        for (const Client& client : clients)
            waiting.push_back(pollfd{client.socket, static_cast<short>(client.answer.empty() ? POLLIN : POLLOUT), 0});
        std::optional<std::chrono::steady_clock::time_point> firstDeadline;
        if (!clients.empty())
            firstDeadline = clients.front().deadline;
        if (poll(waiting.data(), waiting.size(), WaitTimeout(firstDeadline)) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            const short events = waiting[i + firstClient].revents;
            if (events == 0)
                continue;
            bool done = false;
            if (client.answer.empty()) {
                char chunk[2048];
                const ssize_t got = recv(client.socket, chunk, sizeof chunk, 0);
                if (got > 0)
                    client.request.append(chunk, static_cast<std::size_t>(got));
                done = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
                if (!done && FrameHead(client.request, requestLimit).complete)
                    client.answer = Answer(client.request);
            }
            if (!done && !client.answer.empty()) {
                const ssize_t put = send(client.socket, client.answer.data() + client.sent, client.answer.size() - client.sent,
                                         MSG_NOSIGNAL);
                if (put > 0)
                    client.sent += static_cast<std::size_t>(put);
                done = client.sent == client.answer.size() || (put < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (done) {
                close(client.socket);
                client.socket = -1;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->socket >= 0 && now < it->deadline) {
                ++it;
                continue;
            }
            if (it->socket >= 0)
                close(it->socket);
            it = clients.erase(it);
        }
        if (waiting[listeningAt].revents != 0) {
            for (;;) {
                const int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (connection < 0)
                    break;
                if (clients.size() >= clientLimit) {
                    close(clients.front().socket);
                    clients.pop_front();
                }
                clients.push_back(Client{connection, now + requestDeadline, {}, {}, 0});
            }
        }
    }
    for (const Client& client : clients)
        close(client.socket);
}

std::string AdminServer::Answer(const std::string& request)
{
    const std::string line = request.substr(0, request.find("\r\n"));
    int status = 404;
    std::string body = "Not found: the admin end points are /healthz and /metrics\n";
    std::string type = "text/plain; charset=utf-8";
    const bool get = line.rfind("GET ", 0) == 0, head = line.rfind("HEAD ", 0) == 0;
    const std::size_t pathStart = line.find(' ') + 1;
    const std::string path = line.substr(pathStart, line.find(' ', pathStart) - pathStart);
    if (!get && !head) {
        status = 405;
        body = "Only GET and HEAD\n";
    } else if (path == "/healthz" && stopping.Raised()) {
        status = 503;
        body = "unavailable: stopping\n";
    } else if (path == "/healthz") {
        const StoreHealth health = store.Check();
        status = health == StoreHealth::Ready ? 200 : 503;
        body = health == StoreHealth::Ready         ? "ok\n"
               : health == StoreHealth::Unreachable ? "unavailable: the store of announcements cannot be reached\n"
                                                    : "unavailable: the store of announcements cannot be written\n";
    } else if (path == "/metrics") {
        status = 200;
        body = metrics.Text(store.Size(), store.Errors());
        type = "text/plain; version=0.0.4; charset=utf-8";
    }
    const char* reason = status == 200 ? "OK" : status == 503 ? "Service Unavailable" : status == 405 ? "Method Not Allowed" : "Not Found";
    return ClosingAnswer(std::to_string(status) + " " + reason, type, body, !head);
}
