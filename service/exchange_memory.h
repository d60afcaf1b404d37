// The exchange store of one process, the default: entries live in memory only.
#pragma once

#include "service/exchange_store.h"

#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <unordered_map>

class ExchangeMemory : public ExchangeStore
{
public:
    using Clock = std::chrono::steady_clock;

    explicit ExchangeMemory(std::chrono::seconds lifetime = defaultLifetime, std::size_t capacity = defaultCapacity,
                            std::function<Clock::time_point()> now = Clock::now);

    // The identifier is kept only as a digest, so an entry's size does not depend on the client.
    bool Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile) override;
    Recollection Recall(const std::string& identifier) override;
    bool NoteValuesAsked(const std::string& identifier, const ValuesRequest& asked) override;
    std::optional<std::size_t> Size() override;
    StoreHealth Check() override { return StoreHealth::Ready; }
    std::uint64_t Errors() const override { return 0; }
    bool Waits() const override { return false; }

private:
    struct Entry;
    using Entries = std::list<Entry>;
    struct Entry
    {
        std::string key;
        std::string owner;
        AnnouncedProfile profile;
        std::optional<ValuesRequest> asked;
        Clock::time_point at;
        std::list<Entries::iterator>::iterator inOwner;
    };
    void Expire(Clock::time_point now);
    void Erase(Entries::iterator entry);
    void Resize(const std::string& owner, std::size_t from, std::size_t to);

    const std::chrono::seconds lifetime;
    const std::size_t capacity;
    const std::function<Clock::time_point()> now;
    std::mutex mutex;
    Entries entries; // oldest first
    std::unordered_map<std::string, Entries::iterator> index;
    std::unordered_map<std::string, std::list<Entries::iterator>> byOwner; // each oldest first
    std::set<std::pair<std::size_t, std::string>> ownerSizes;               // the largest last
};

// The digest an identifier is kept under, in every store.
std::string ExchangeDigest(const std::string& identifier);
