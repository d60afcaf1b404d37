#include "protocol/tuned_value.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

namespace {

struct Unit
{
    std::string_view name;
    std::uint64_t size;  // in kB or ms
    ServerVersion from; // the first version that reads it
};

constexpr std::array<Unit, 4> memoryUnits = {{
    {"kB", 1, {}},
    {"MB", 1024, {}},
    {"GB", 1024 * 1024, {}},
    {"TB", 1024ull * 1024 * 1024, {9, 4}},
}};
constexpr std::array<Unit, 5> timeUnits = {{
    {"ms", 1, {}},
    {"s", 1000, {}},
    {"min", 60 * 1000, {}},
    {"h", 60 * 60 * 1000, {}},
    {"d", 24 * 60 * 60 * 1000, {}},
}};

// Longer than any cost or scale factor anyone means.
constexpr std::size_t longestDecimal = 20;
// More digits than any range needs; keeps every figure far from overflow.
constexpr std::size_t longestFigure = 12;

// How many digits `value` begins with.
std::size_t DigitsAtStart(std::string_view value)
{
    std::size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9')
        ++digits;
    return digits;
}

// Reads digits without a leading zero: the server reads "010" as octal 8 and refuses "08".
bool ReadFigure(std::string_view digits, std::uint64_t& figure)
{
    if (digits.empty() || digits.size() > longestFigure || (digits[0] == '0' && digits.size() > 1))
        return false;
    figure = 0;
    for (const char c : digits)
        figure = figure * 10 + static_cast<std::uint64_t>(c - '0');
    return true;
}

bool Reads(const Unit& unit, const ValueTarget& server)
{
    return unit.from.major == 0 || !(server.version < unit.from);
}

// `amount` of the unit's smallest size in the setting's own unit, rounded as the server
// rounds: to the nearest, ties to even, or truncated.
std::uint64_t InSettingUnit(std::uint64_t amount, std::uint64_t settingUnit, bool nearest)
{
    std::uint64_t whole = amount / settingUnit;
    const std::uint64_t rest = amount % settingUnit;
    if (nearest && (2 * rest > settingUnit || (2 * rest == settingUnit && whole % 2 == 1)))
        ++whole;
    return whole;
}

bool Within(std::uint64_t figure, const Bounds& bounds)
{
    return figure >= static_cast<std::uint64_t>(bounds.least) && figure <= static_cast<std::uint64_t>(bounds.most);
}

// Digits, then one of `units` (or none, for the setting's own unit), within `bounds` however
// the target server rounds, and for memory within the announced memory.
template <std::size_t N>
bool IsWhole(std::string_view value, const ParameterForm& form, const std::array<Unit, N>& units,
             const Bounds& bounds, const TunedTarget& target)
{
    const std::size_t digits = DigitsAtStart(value);
    std::uint64_t figure = 0;
    if (!ReadFigure(value.substr(0, digits), figure))
        return false;
    const std::uint64_t settingUnit = static_cast<std::uint64_t>(form.unitSize);
    const std::string_view unitName = value.substr(digits);
    std::uint64_t amount = figure * settingUnit; // in kB or ms
    bool converted = false;
    if (!unitName.empty()) {
        const Unit* unit = nullptr;
        for (const Unit& known : units)
            if (unitName == known.name && Reads(known, target.server))
                unit = &known;
        if (unit == nullptr || figure > std::numeric_limits<std::uint64_t>::max() / unit->size)
            return false;
        amount = figure * unit->size;
        converted = true;
    }
    const bool memory = form.kind == ValueKind::memory && form.boundByMemory;
    if (memory && amount > target.memoryKilobytes)
        return false;
    const int major = target.server.version.major;
    for (const bool nearest : {false, true}) {
        if (major > 0 && nearest != (major >= 12))
            continue; // an unknown version passes either way of rounding
        const std::uint64_t setting = converted ? InSettingUnit(amount, settingUnit, nearest) : figure;
        if (!Within(setting, bounds) || (memory && setting * settingUnit > target.memoryKilobytes))
            return false;
    }
    return true;
}

// Digits with an optional fraction, the whole part without a leading zero, within `bounds`.
bool IsDecimal(std::string_view value, const Bounds& bounds)
{
    if (value.size() > longestDecimal)
        return false;
    const std::size_t wholeDigits = DigitsAtStart(value);
    std::string_view fraction;
    if (wholeDigits < value.size()) {
        if (value[wholeDigits] != '.')
            return false;
        fraction = value.substr(wholeDigits + 1);
        if (DigitsAtStart(fraction) != fraction.size() || wholeDigits + fraction.size() == 0)
            return false;
    } else if (wholeDigits == 0) {
        return false;
    }
    std::uint64_t whole = 0;
    if (wholeDigits > 0 && !ReadFigure(value.substr(0, wholeDigits), whole))
        return false;
    const bool beyondWhole = fraction.find_first_not_of('0') != std::string_view::npos;
    return whole >= static_cast<std::uint64_t>(bounds.least) &&
           (whole < static_cast<std::uint64_t>(bounds.most) ||
            (whole == static_cast<std::uint64_t>(bounds.most) && !beyondWhole));
}

// What a sound count or memory value sets, truncated to the setting's unit: never more than
// the server makes of it.
std::uint64_t TruncatedSetting(std::string_view value, const ParameterForm& form)
{
    const std::size_t digits = DigitsAtStart(value);
    std::uint64_t figure = 0;
    ReadFigure(value.substr(0, digits), figure);
    const std::string_view unitName = value.substr(digits);
    for (const Unit& unit : memoryUnits)
        if (unitName == unit.name)
            return figure * unit.size / static_cast<std::uint64_t>(form.unitSize);
    return figure;
}

} // namespace

bool IsSoundTunedValue(std::size_t slot, std::string_view value, const TunedTarget& target)
{
    if (slot >= tuningParameterCount)
        return false;
    return value.empty() || IsSoundFormValue(tuningParameterForms[slot], value, target);
}

bool IsSoundFormValue(const ParameterForm& form, std::string_view value, const TunedTarget& target)
{
    const Bounds bounds = FormBounds(form, target.server);
    switch (form.kind) {
    case ValueKind::count:
        return IsWhole(value, form, std::array<Unit, 0>{}, bounds, target);
    case ValueKind::memory:
        return IsWhole(value, form, memoryUnits, bounds, target);
    case ValueKind::time:
        return IsWhole(value, form, timeUnits, bounds, target);
    case ValueKind::decimal:
        return IsDecimal(value, bounds);
    case ValueKind::boolean:
        return value == "on" || value == "off" || value == "true" || value == "false";
    }
    return false;
}

bool AreSoundTogether(const std::array<std::string_view, tuningParameterCount>& values, const TunedTarget& target)
{
    if (!(target.server.version < ServerVersion{8, 4}))
        return true;
    const auto setting = [&values](std::size_t slot) { return TruncatedSetting(values[slot], tuningParameterForms[slot]); };
    // Server processes: the connections, three autovacuum workers and their launcher.
    if (!values[maxConnectionsIndex].empty() && !values[sharedBuffersIndex].empty() &&
        setting(sharedBuffersIndex) < 2 * (setting(maxConnectionsIndex) + 4))
        return false;
    return values[maxFsmPagesIndex].empty() || values[maxFsmRelationsIndex].empty() ||
           setting(maxFsmPagesIndex) > 16 * setting(maxFsmRelationsIndex);
}
