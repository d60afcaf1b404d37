// Clients that hold connections to the service without making requests, as an attacker would:
// silent ones, ones that send their TLS hello one byte at a time, ones that handshake and then
// send their request header or their body one byte at a time, and ones that send a plain HTTP
// header one byte at a time (as to the admin address). Each connection the service closes is
// opened again when its next byte is due, so that the service keeps about `count` of them
// without a flood of handshakes. For the tests and the bench.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

enum class Abuse
{
    Silent,
    SlowHandshake,
    SlowHeader,
    // A whole header and the start of a body, then the body a byte at a time; the header
    // announces the body in turn as chunked, not at all, with two lengths, and with one length.
    SlowBody,
    SlowPlainHeader,
};

class AbusiveClients
{
public:
    // `source` is the loopback address the connections come from (127.0.0.0/8 all reaches lo).
    AbusiveClients(Abuse abuse, int port, int count, std::chrono::milliseconds byteInterval,
                   const std::string& source = "127.0.0.2");
    ~AbusiveClients();
    AbusiveClients(const AbusiveClients&) = delete;
    AbusiveClients& operator=(const AbusiveClients&) = delete;

    // Connections the service closed (and that were opened again).
    int Closed() const { return closed; }
    // Connections open now.
    int Open() const { return open; }

private:
    void Run();

    const Abuse abuse;
    const int port;
    const int count;
    const std::chrono::milliseconds byteInterval;
    const std::string source;
    std::atomic<bool> stop{false};
    std::atomic<int> closed{0};
    std::atomic<int> open{0};
    std::thread thread;
};

// The service account, which every wizard holds, as an Authorization: Basic value.
std::string Credentials();

// Opens a TCP connection to 127.0.0.1:`port` from `source`; -1 when it fails.
int ConnectFrom(const std::string& source, int port, bool blocking = true);
