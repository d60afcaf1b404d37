#include "service/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

StopSignal::StopSignal() : descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal()
{
    if (descriptor >= 0)
        close(descriptor);
}

void StopSignal::Raise()
{
    raised = true;
    // Never read back: the count stays above zero, so the descriptor stays readable.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(descriptor, &one, sizeof one);
}

RepeatedSignal::RepeatedSignal() : descriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RepeatedSignal::~RepeatedSignal()
{
    if (descriptor >= 0)
        close(descriptor);
}

void RepeatedSignal::Raise()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(descriptor, &one, sizeof one);
}

bool RepeatedSignal::Take()
{
    std::uint64_t count = 0;
    return read(descriptor, &count, sizeof count) == sizeof count && count > 0;
}

int WaitTimeout(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}
