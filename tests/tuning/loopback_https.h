// Loopback helpers for the transport and exchange tests: certificates made with openssl,
// and a small responder that serves canned HTTP(S) answers and records what it received.
// The responder stands in for the tuning service only where the real service never gives
// the answer a test needs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Certificate
{
    std::string certificateFile;
    std::string keyFile;
};

// A self-signed certificate for `commonName` (valid for localhost and 127.0.0.1 unless
// other subject names are given), written into `folder`.
Certificate MakeCertificate(const std::string& folder, const std::string& baseName,
                            const std::string& subjectAltNames = "DNS:localhost,IP:127.0.0.1");

struct RecordedRequest
{
    std::string head; // request line and header lines, up to and without the empty line
    std::string body;
};

// Header lines of a recorded request, without the request line, in order.
std::vector<std::string> HeaderLines(const RecordedRequest& request);

// A complete HTTP/1.1 answer with Content-Length and Connection: close.
std::string HttpAnswer(int status, const std::string& body, const std::string& contentType = "text/xml; charset=utf-8");

// Answer text that makes the responder hold the connection without answering until it stops.
inline const std::string silence = "\x01silence";

class CannedResponder
{
public:
    using Answer = std::function<std::string(const RecordedRequest&)>;

    // Plain HTTP when no certificate is given.
    explicit CannedResponder(Answer answer, const Certificate& certificate = {});
    ~CannedResponder();
    CannedResponder(const CannedResponder&) = delete;
    CannedResponder& operator=(const CannedResponder&) = delete;

    int port() const { return listenPort; }
    // The service path on this responder, with the scheme it serves.
    std::string Url(const std::string& host = "127.0.0.1") const;
    std::vector<RecordedRequest> Requests();
    int Connections() const { return connections; }
    // Accepted connections whose responder side is not closed yet: the client may have gone
    // a moment before this thread closes its end.
    int OpenConnections() const { return connections - closedConnections; }

private:
    void Serve();
    void ServeConnection(int fd);

    Answer answer;
    void* tlsContext = nullptr;
    int listenFd = -1;
    int listenPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    std::atomic<int> closedConnections{0};
    std::mutex mutex;
    std::vector<RecordedRequest> requests;
    std::thread thread;
};

// A program started in the background for a test, stopped (SIGTERM, then SIGKILL) by pid
// when the object goes away. Its standard output and error go to `outputFile`.
class BackgroundProcess
{
public:
    BackgroundProcess(const std::vector<std::string>& command, const std::string& outputFile);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool Running();

private:
    int pid = -1;
};

// A loopback port nobody listens on at the moment of the call.
int FreeLoopbackPort();

// Waits (up to 15 s) until something accepts connections on the loopback port.
bool WaitForPort(int port);

// Debian's tinyproxy on a loopback port of its own, logging every connection.
class TinyProxy
{
public:
    explicit TinyProxy(const std::string& folder);

    int port() const { return listenPort; }
    std::string Log() const;

private:
    std::string logFile;
    int listenPort;
    std::unique_ptr<BackgroundProcess> process;
};
