#include "abusive_clients.h"

#include "protocol/maker_constants.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <memory>
#include <vector>

int ConnectFrom(const std::string& source, int port, bool blocking)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (s < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        close(s);
        return -1;
    }
    return s;
}

std::string Credentials()
{
    const std::string account = std::string(serviceUserId) + ":" + serviceSecret;
    unsigned char encoded[128];
    const int length = EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char*>(account.data()),
                                       static_cast<int>(account.size()));
    return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

namespace {

// The first flight of a TLS client: what a slow client trickles and never finishes.
std::string ClientHello(SSL_CTX* context)
{
    SSL* ssl = SSL_new(context);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_connect(ssl);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string hello(data, static_cast<std::size_t>(length));
    SSL_free(ssl);
    return hello;
}

const std::string slowRequest = "POST /authws/services/AuthenticationService?wsdl HTTP/1.1\r\n"
                                "Host: localhost\r\nUser-Agent: slow\r\nContent-Type: text/xml\r\n"
                                "X-Padding: " + std::string(4000, 'x') + "\r\n\r\n";

const std::string bodyStart = "POST /authws/services/AuthenticationService?wsdl HTTP/1.1\r\nHost: localhost\r\n"
                              "Authorization: Basic " + Credentials() + "\r\n";
// The start of a sound message, then spaces a byte at a time, which a parser reads on through.
const std::string envelopeStart = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                                  "<SOAP-ENV:Body>";
const std::string slowBodyStarts[] = {
    bodyStart + "Transfer-Encoding: chunked\r\n\r\nFFFF\r\n" + envelopeStart,
    bodyStart + "\r\n" + envelopeStart,
    bodyStart + "Content-Length: 10\r\nContent-Length: 60000\r\n\r\n" + envelopeStart,
    bodyStart + "Content-Length: 60000\r\n\r\n" + envelopeStart,
};

struct Held
{
    int socket = -1;
    SSL* ssl = nullptr;
    std::size_t sent = 0;

    void Close()
    {
        if (ssl != nullptr)
            SSL_free(ssl);
        if (socket >= 0)
            close(socket);
        ssl = nullptr;
        socket = -1;
        sent = 0;
    }
};

// Whether the service has closed `held` (end of stream, reset, or a TLS alert).
bool ClosedByService(Held& held)
{
    pollfd p{held.socket, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR))
        return true;
    char buffer[4096];
    if (held.ssl != nullptr) {
        const int got = SSL_read(held.ssl, buffer, sizeof buffer);
        return got <= 0 && SSL_get_error(held.ssl, got) != SSL_ERROR_WANT_READ;
    }
    const ssize_t got = recv(held.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace

AbusiveClients::AbusiveClients(Abuse abuse, int port, int count, std::chrono::milliseconds byteInterval,
                               const std::string& source)
    : abuse(abuse), port(port), count(count), byteInterval(byteInterval), source(source)
{
    // Writing to a connection the service has closed must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    thread = std::thread([this] { Run(); });
}

AbusiveClients::~AbusiveClients()
{
    stop = true;
    thread.join();
}

void AbusiveClients::Run()
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    const std::string hello = ClientHello(context.get());
    std::vector<Held> held(static_cast<std::size_t>(count));
    const bool tls = abuse == Abuse::SlowHeader || abuse == Abuse::SlowBody;
    std::size_t opened = 0;

    auto openOne = [&](Held& h) {
        h.socket = ConnectFrom(source, port, tls);
        if (h.socket < 0)
            return;
        if (tls) {
            // The handshake at full speed, then the header a byte at a time.
            const int flags = fcntl(h.socket, F_GETFL);
            fcntl(h.socket, F_SETFL, flags & ~O_NONBLOCK);
            timeval limit{2, 0};
            setsockopt(h.socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            h.ssl = SSL_new(context.get());
            SSL_set_fd(h.ssl, h.socket);
            const std::string& header = slowBodyStarts[opened++ % std::size(slowBodyStarts)];
            if (SSL_connect(h.ssl) != 1 ||
                (abuse == Abuse::SlowBody && SSL_write(h.ssl, header.data(), static_cast<int>(header.size())) <= 0)) {
                h.Close();
                return;
            }
            fcntl(h.socket, F_SETFL, flags | O_NONBLOCK);
        }
        fcntl(h.socket, F_SETFL, fcntl(h.socket, F_GETFL) | O_NONBLOCK);
        ++open;
    };

    auto nextByte = std::chrono::steady_clock::now();
    while (!stop) {
        const bool sendNow = std::chrono::steady_clock::now() >= nextByte;
        if (sendNow)
            nextByte += byteInterval;
        for (Held& h : held) {
            if (stop)
                break;
            if (h.socket >= 0 && ClosedByService(h)) {
                h.Close();
                --open;
                ++closed;
            }
            if (h.socket < 0) {
                if (sendNow)
                    openOne(h);
                continue;
            }
            if (!sendNow || abuse == Abuse::Silent)
                continue;
            if (abuse == Abuse::SlowHandshake && h.sent < hello.size()) {
                if (send(h.socket, hello.data() + h.sent, 1, MSG_NOSIGNAL) == 1)
                    ++h.sent;
            } else if (abuse == Abuse::SlowHeader && h.sent < slowRequest.size()) {
                if (SSL_write(h.ssl, slowRequest.data() + h.sent, 1) == 1)
                    ++h.sent;
            } else if (abuse == Abuse::SlowBody) {
                SSL_write(h.ssl, " ", 1);
            } else if (abuse == Abuse::SlowPlainHeader && h.sent < slowRequest.size()) {
                if (send(h.socket, slowRequest.data() + h.sent, 1, MSG_NOSIGNAL) == 1)
                    ++h.sent;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (Held& h : held)
        h.Close();
}
