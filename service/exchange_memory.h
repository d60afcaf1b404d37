// What validateUser announced, kept in memory only for the getQuorvelInfo of the same
// exchange: each entry lives for a fixed time, and when the memory is full the oldest goes
// first. Safe to use from several threads.
#pragma once

#include "service/tuning_rules.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

class ExchangeMemory
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds defaultLifetime{15 * 60};
    static constexpr std::size_t defaultCapacity = 100000;

    explicit ExchangeMemory(std::chrono::seconds lifetime = defaultLifetime, std::size_t capacity = defaultCapacity,
                            std::function<Clock::time_point()> now = Clock::now);

    // Keeps `profile` under `identifier`, replacing (and renewing) an earlier entry of it. The
    // identifier is kept only as a digest, so an entry's size does not depend on the client.
    void Remember(const std::string& identifier, const AnnouncedProfile& profile);
    // The profile announced under `identifier`, unless it has expired or been pushed out.
    std::optional<AnnouncedProfile> Recall(const std::string& identifier);
    std::size_t Size();

private:
    struct Entry
    {
        std::string key;
        AnnouncedProfile profile;
        Clock::time_point at;
    };
    void Expire(Clock::time_point now);

    const std::chrono::seconds lifetime;
    const std::size_t capacity;
    const std::function<Clock::time_point()> now;
    std::mutex mutex;
    std::list<Entry> entries; // oldest first
    std::unordered_map<std::string, std::list<Entry>::iterator> index;
};
