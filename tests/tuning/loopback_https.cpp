#include "tests/tuning/loopback_https.h"

#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

Certificate MakeCertificate(const std::string& folder, const std::string& baseName, const std::string& subjectAltNames)
{
    Certificate made{folder + "/" + baseName + ".pem", folder + "/" + baseName + ".key"};
    const ProgramResult result = RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                             "-subj", "/CN=" + baseName, "-addext", "subjectAltName=" + subjectAltNames,
                                             "-keyout", made.keyFile, "-out", made.certificateFile});
    if (result.exitCode != 0)
        throw std::runtime_error("openssl req failed: " + result.standardError);
    return made;
}

std::vector<std::string> HeaderLines(const RecordedRequest& request)
{
    std::vector<std::string> lines;
    std::size_t start = request.head.find("\r\n");
    while (start != std::string::npos && start + 2 < request.head.size()) {
        start += 2;
        const std::size_t end = request.head.find("\r\n", start);
        lines.push_back(request.head.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end;
    }
    return lines;
}

std::string HttpAnswer(int status, const std::string& body, const std::string& contentType)
{
    const char* reason = status == 200 ? "OK" : status == 401 ? "Unauthorized" : status == 500 ? "Internal Server Error" : "Status";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

CannedResponder::CannedResponder(Answer answerFunction, const Certificate& certificate)
    : answer(std::move(answerFunction))
{
    // A client that gives up (a refused certificate, a time-out) must not end the test
    // process when the responder writes to it.
    signal(SIGPIPE, SIG_IGN);
    if (!certificate.certificateFile.empty()) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, certificate.certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, certificate.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("responder cannot load its certificate");
        tlsContext = context;
    }
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd, 16) != 0 || getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("responder cannot listen");
    listenPort = ntohs(address.sin_port);
    thread = std::thread([this]() { Serve(); });
}

CannedResponder::~CannedResponder()
{
    stopping = true;
    thread.join();
    close(listenFd);
    SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext));
}

std::string CannedResponder::Url(const std::string& host) const
{
    return std::string(tlsContext ? "https" : "http") + "://" + host + ":" + std::to_string(listenPort) +
           "/authws/services/AuthenticationService?wsdl";
}

std::vector<RecordedRequest> CannedResponder::Requests()
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

void CannedResponder::Serve()
{
    while (!stopping) {
        pollfd waiting{listenFd, POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0)
            continue;
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections;
        ServeConnection(fd);
        close(fd);
        ++closedConnections;
    }
}

namespace {

// Reads or writes through TLS or the plain socket, giving up when the responder stops.
class Channel
{
public:
    Channel(int fd, SSL* ssl, const std::atomic<bool>& stopping) : fd(fd), ssl(ssl), stopping(stopping) {}

    bool WaitReadable()
    {
        while (!stopping) {
            if (ssl && SSL_pending(ssl) > 0)
                return true;
            pollfd waiting{fd, POLLIN, 0};
            if (poll(&waiting, 1, 50) > 0)
                return true;
        }
        return false;
    }

    long Read(char* buffer, int size)
    {
        if (!WaitReadable())
            return -1;
        return ssl ? SSL_read(ssl, buffer, size) : ::read(fd, buffer, size);
    }

    void Write(const std::string& data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            const long n = ssl ? SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done))
                               : ::write(fd, data.data() + done, data.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd;
    SSL* ssl;
    const std::atomic<bool>& stopping;
};

} // namespace

void CannedResponder::ServeConnection(int fd)
{
    SSL* ssl = nullptr;
    if (tlsContext) {
        ssl = SSL_new(static_cast<SSL_CTX*>(tlsContext));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) { // e.g. a client that refused the certificate
            SSL_free(ssl);
            return;
        }
    }
    Channel channel(fd, ssl, stopping);
    std::string received;
    char buffer[16384];
    std::size_t headEnd;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const long n = channel.Read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    RecordedRequest request;
    if (headEnd != std::string::npos) {
        request.head = received.substr(0, headEnd);
        std::size_t length = 0;
        for (const std::string& line : HeaderLines(request))
            if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0)
                length = std::stoul(line.substr(15));
        request.body = received.substr(headEnd + 4);
        while (request.body.size() < length) {
            const long n = channel.Read(buffer, sizeof buffer);
            if (n <= 0)
                break;
            request.body.append(buffer, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(request);
        }
        const std::string reply = answer(request);
        if (reply == silence) {
            while (!stopping)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            channel.Write(reply);
        }
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& command, const std::string& outputFile)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot start " + command[0]);
}

BackgroundProcess::~BackgroundProcess()
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool BackgroundProcess::Running()
{
    return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
}

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool WaitForPort(int port)
{
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (connected)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TinyProxy::TinyProxy(const std::string& folder)
    : logFile(folder + "/tinyproxy.log"), listenPort(FreeLoopbackPort())
{
    const std::string configFile = folder + "/tinyproxy.conf";
    WriteFileBytes(configFile, "Port " + std::to_string(listenPort) +
                                   "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" + logFile +
                                   "\"\nLogLevel Connect\nMaxClients 10\nAllow 127.0.0.1\n");
    process = std::make_unique<BackgroundProcess>(std::vector<std::string>{"tinyproxy", "-d", "-c", configFile},
                                                  folder + "/tinyproxy.out");
    if (!WaitForPort(listenPort))
        throw std::runtime_error("tinyproxy did not start: " + ReadFileBytes(folder + "/tinyproxy.out"));
}

std::string TinyProxy::Log() const
{
    return FileExists(logFile) ? ReadFileBytes(logFile) : std::string();
}
