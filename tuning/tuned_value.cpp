#include "tuning/tuned_value.h"

#include "tuning/tuning_parameters.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace {

enum class Kind { count, memory, time, decimal, boolean };

constexpr std::array<Kind, tuningParameterCount> kinds = {
    Kind::count,   // max_connections
    Kind::memory,  // shared_buffers
    Kind::memory,  // work_mem
    Kind::memory,  // maintenance_work_mem
    Kind::count,   // max_fsm_pages
    Kind::count,   // max_fsm_relations
    Kind::memory,  // wal_buffers
    Kind::count,   // checkpoint_segments
    Kind::decimal, // random_page_cost
    Kind::memory,  // effective_cache_size
    Kind::boolean, // autovacuum
    Kind::time,    // autovacuum_naptime
    Kind::count,   // autovacuum_vacuum_threshold
    Kind::count,   // autovacuum_analyze_threshold
    Kind::decimal, // autovacuum_vacuum_scale_factor
    Kind::decimal, // autovacuum_analyze_scale_factor
    Kind::boolean, // stats_row_level
};

struct Unit
{
    std::string_view name;
    std::uint64_t size; // in kB or ms
};

using Units = std::array<Unit, 5>; // a unit without a name ends a shorter list
constexpr Units noUnits = {};
constexpr Units memoryUnits = {{{"kB", 1}, {"MB", 1024}, {"GB", 1024 * 1024}, {"TB", 1024 * 1024 * 1024}}};
constexpr Units timeUnits = {{{"ms", 1}, {"s", 1000}, {"min", 60 * 1000}, {"h", 60 * 60 * 1000}, {"d", 24 * 60 * 60 * 1000}}};

// The server holds every whole-number setting in a 32-bit integer of the setting's own unit,
// the largest of which is an 8kB page for memory and a second for time.
constexpr std::uint64_t largestWhole = 2147483647;
constexpr std::uint64_t largestKilobytes = largestWhole * 8;
constexpr std::uint64_t largestMilliseconds = largestWhole * 1000;
// Longer than any cost or scale factor anyone means.
constexpr std::size_t longestDecimal = 20;

// How many digits `value` begins with.
std::size_t DigitsAtStart(std::string_view value)
{
    std::size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9')
        ++digits;
    return digits;
}

// Digits, then one of `units` or none, no larger than `largest` of the smallest unit.
bool IsWhole(std::string_view value, const Units& units, std::uint64_t largest)
{
    const std::size_t digits = DigitsAtStart(value);
    if (digits == 0)
        return false;
    std::uint64_t figure = 0;
    for (const char c : value.substr(0, digits)) {
        figure = figure * 10 + static_cast<std::uint64_t>(c - '0');
        if (figure > largest)
            return false;
    }
    const std::string_view unit = value.substr(digits);
    if (unit.empty())
        return figure <= largestWhole;
    for (const Unit& known : units)
        if (!known.name.empty() && unit == known.name)
            return figure <= largest / known.size;
    return false;
}

bool IsDecimal(std::string_view value)
{
    if (value.size() > longestDecimal)
        return false;
    const std::size_t whole = DigitsAtStart(value);
    if (whole == value.size())
        return whole > 0;
    if (value[whole] != '.')
        return false;
    const std::string_view fraction = value.substr(whole + 1);
    return DigitsAtStart(fraction) == fraction.size() && whole + fraction.size() > 0;
}

} // namespace

bool IsSoundTunedValue(std::size_t slot, std::string_view value)
{
    if (slot >= kinds.size())
        return false;
    if (value.empty())
        return true;
    switch (kinds[slot]) {
    case Kind::count:
        return IsWhole(value, noUnits, largestWhole);
    case Kind::memory:
        return IsWhole(value, memoryUnits, largestKilobytes);
    case Kind::time:
        return IsWhole(value, timeUnits, largestMilliseconds);
    case Kind::decimal:
        return IsDecimal(value);
    case Kind::boolean:
        return value == "on" || value == "off" || value == "true" || value == "false";
    }
    return false;
}
