#include "service/admin_server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    const bool bound = listening >= 0 && bind(listening, found->ai_addr, found->ai_addrlen) == 0 && listen(listening, 16) == 0;
    const int code = errno;
    freeaddrinfo(found);
    if (!bound) {
        error = "cannot listen on " + where + " for the admin end points: " + std::strerror(code);
        return false;
    }
    return true;
}

void AdminServer::Run(const std::atomic<bool>& stop)
{
    while (!stop) {
        pollfd waiting{listening, POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0)
            continue;
        const int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        // A scraper or a load balancer's check answers at once; nobody may hold this loop long.
        timeval limit{2, 0};
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        Answer(connection);
        close(connection);
    }
}

void AdminServer::Answer(int connection)
{
    std::string request;
    char chunk[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
        const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        request.append(chunk, static_cast<std::size_t>(got));
    }
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
    } else if (path == "/healthz") {
        const bool reachable = store.Size().has_value();
        status = reachable ? 200 : 503;
        body = reachable ? "ok\n" : "unavailable: the store of announcements cannot be reached\n";
    } else if (path == "/metrics") {
        status = 200;
        body = metrics.Text(store.Size());
        type = "text/plain; version=0.0.4; charset=utf-8";
    }
    const char* reason = status == 200 ? "OK" : status == 503 ? "Service Unavailable" : status == 405 ? "Method Not Allowed" : "Not Found";
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head)
        answer += body;
    send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
}
