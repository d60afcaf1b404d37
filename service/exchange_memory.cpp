#include "service/exchange_memory.h"

#include <openssl/sha.h>

std::string ExchangeDigest(const std::string& identifier)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(identifier.data()), identifier.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

ExchangeMemory::ExchangeMemory(std::chrono::seconds lifetime, std::size_t capacity,
                               std::function<Clock::time_point()> now)
    : lifetime(lifetime), capacity(capacity), now(std::move(now))
{
}

void ExchangeMemory::Resize(const std::string& owner, std::size_t from, std::size_t to)
{
    if (from > 0)
        ownerSizes.erase({from, owner});
    if (to > 0)
        ownerSizes.emplace(to, owner);
}

void ExchangeMemory::Erase(Entries::iterator entry)
{
    auto owned = byOwner.find(entry->owner);
    const std::size_t size = owned->second.size();
    owned->second.erase(entry->inOwner);
    Resize(entry->owner, size, size - 1);
    if (size == 1)
        byOwner.erase(owned);
    index.erase(entry->key);
    entries.erase(entry);
}

void ExchangeMemory::Expire(Clock::time_point time)
{
    while (!entries.empty() && time - entries.front().at >= lifetime)
        Erase(entries.begin());
}

bool ExchangeMemory::Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile)
{
    const std::string key = ExchangeDigest(identifier);
    const Clock::time_point time = now();
    std::lock_guard<std::mutex> lock(mutex);
    Expire(time);
    if (auto found = index.find(key); found != index.end())
        Erase(found->second);
    if (capacity == 0)
        return true;
    while (entries.size() >= capacity) {
        const std::string& largest = ownerSizes.rbegin()->second;
        Erase(byOwner.find(largest)->second.front());
    }
    auto& owned = byOwner[owner];
    entries.push_back(Entry{key, owner, profile, std::nullopt, time, {}});
    const auto entry = std::prev(entries.end());
    owned.push_back(entry);
    entry->inOwner = std::prev(owned.end());
    Resize(owner, owned.size() - 1, owned.size());
    index.emplace(key, entry);
    return true;
}

Recollection ExchangeMemory::Recall(const std::string& identifier)
{
    const std::string key = ExchangeDigest(identifier);
    std::lock_guard<std::mutex> lock(mutex);
    Expire(now());
    auto found = index.find(key);
    if (found == index.end())
        return {};
    return {true, found->second->profile, found->second->asked};
}

bool ExchangeMemory::NoteValuesAsked(const std::string& identifier, const ValuesRequest& asked)
{
    const std::string key = ExchangeDigest(identifier);
    std::lock_guard<std::mutex> lock(mutex);
    Expire(now());
    if (auto found = index.find(key); found != index.end()) {
        found->second->asked = asked;
        found->second->asked->identifier.clear();
    }
    return true;
}

std::optional<std::size_t> ExchangeMemory::Size()
{
    std::lock_guard<std::mutex> lock(mutex);
    Expire(now());
    return entries.size();
}
