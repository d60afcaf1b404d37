#include "service/exchange_memory.h"

#include <openssl/sha.h>

namespace {

std::string Digest(const std::string& identifier)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(identifier.data()), identifier.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

} // namespace

ExchangeMemory::ExchangeMemory(std::chrono::seconds lifetime, std::size_t capacity,
                               std::function<Clock::time_point()> now)
    : lifetime(lifetime), capacity(capacity), now(std::move(now))
{
}

void ExchangeMemory::Expire(Clock::time_point time)
{
    while (!entries.empty() && time - entries.front().at >= lifetime) {
        index.erase(entries.front().key);
        entries.pop_front();
    }
}

void ExchangeMemory::Remember(const std::string& identifier, const AnnouncedProfile& profile)
{
    const std::string key = Digest(identifier);
    const Clock::time_point time = now();
    std::lock_guard<std::mutex> lock(mutex);
    Expire(time);
    auto found = index.find(key);
    if (found != index.end()) {
        entries.erase(found->second);
        index.erase(found);
    }
    while (!entries.empty() && entries.size() >= capacity) {
        index.erase(entries.front().key);
        entries.pop_front();
    }
    if (capacity == 0)
        return;
    entries.push_back(Entry{key, profile, time});
    index.emplace(key, std::prev(entries.end()));
}

std::optional<AnnouncedProfile> ExchangeMemory::Recall(const std::string& identifier)
{
    const std::string key = Digest(identifier);
    std::lock_guard<std::mutex> lock(mutex);
    Expire(now());
    auto found = index.find(key);
    if (found == index.end())
        return std::nullopt;
    return found->second->profile;
}

std::size_t ExchangeMemory::Size()
{
    std::lock_guard<std::mutex> lock(mutex);
    Expire(now());
    return entries.size();
}
