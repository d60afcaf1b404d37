// The request to stop, as a descriptor the serving loops wait on beside their sockets, so
// that they sleep until there is work or a deadline and still stop at once.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

class StopSignal
{
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Safe in a signal handler. Once raised it stays raised: every loop that waits wakes.
    void Raise();
    bool Raised() const { return raised; }
    // Readable once raised, for epoll or poll.
    int Descriptor() const { return descriptor; }

private:
    std::atomic<bool> raised{false};
    int descriptor;
};

// A request that may come again, such as reloading the certificate: raised from a signal
// handler, taken by the one thread that acts on it.
class RepeatedSignal
{
public:
    RepeatedSignal();
    ~RepeatedSignal();
    RepeatedSignal(const RepeatedSignal&) = delete;
    RepeatedSignal& operator=(const RepeatedSignal&) = delete;

    // Safe in a signal handler.
    void Raise();
    // Whether it was raised since the last time; readable until then.
    bool Take();
    int Descriptor() const { return descriptor; }

private:
    int descriptor;
};

// The time-out, in milliseconds, for a poll or epoll wait that must wake at `deadline`; -1,
// waiting for events and the stop signal alone, without one.
int WaitTimeout(std::optional<std::chrono::steady_clock::time_point> deadline);
