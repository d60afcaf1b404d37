// Where validateUser's announcements wait for the getQuorvelInfo (and getTuningExtensions) of
// the same exchange: in this
// process (ExchangeMemory) or in a store that several instances share. Either keeps an entry
// for a fixed time and a bounded number of them; when full, an entry of the client holding
// the most goes first, so that one client cannot push the others' out. Safe to use from
// several threads.
#pragma once

#include "service/tuning_rules.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// What a health check finds of the store.
enum class StoreHealth
{
    Ready,
    Unreachable,
    Unwritable, // reached, but it refuses the service's writes or holds values it did not write
};

struct Recollection
{
    bool reachable = true;                  // false: the store could not be asked
    std::optional<AnnouncedProfile> profile; // none when never announced, expired or pushed out
    std::optional<ValuesRequest> valuesAsked; // what getQuorvelInfo asked (identifier left empty); none before
};

class ExchangeStore
{
public:
    // How long an announcement is kept, and how many at most, unless told otherwise.
    static constexpr std::chrono::seconds defaultLifetime{15 * 60};
    static constexpr std::size_t defaultCapacity = 100000;

    virtual ~ExchangeStore() = default;
    // Keeps `profile` under `identifier` for `owner` (who announced it), replacing and renewing
    // an earlier entry of it. False when the store could not be reached.
    virtual bool Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile) = 0;
    virtual Recollection Recall(const std::string& identifier) = 0;
    // Adds to a held announcement what getQuorvelInfo asked (usage, memory, bitness), which the
    // extension's call of the same exchange computes from; its lifetime is not renewed. False
    // when the store could not be reached; nothing happens when it holds no such announcement.
    virtual bool NoteValuesAsked(const std::string& identifier, const ValuesRequest& asked) = 0;
    // Entries held now; none when the store could not be reached.
    virtual std::optional<std::size_t> Size() = 0;
    // Whether the store can be written just now, as remembering an announcement needs.
    virtual StoreHealth Check() = 0;
    // Calls to the store that failed since the start: not reached, broken off or refused.
    virtual std::uint64_t Errors() const = 0;
    // Whether a call may wait on another process: then the workers answer, so that a slow
    // store holds up no handshakes.
    virtual bool Waits() const = 0;
};
