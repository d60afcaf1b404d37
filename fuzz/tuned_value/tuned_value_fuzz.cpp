// Whatever the check lets through is written into postgresql.conf as one token after
// "name = ": it must never carry a line break, a quote, a comment, white space or a control
// character, must stay short, and the server must read it as written and take it: no
// leading zero (octal to the server) and, converted as the server converts it, within the
// parameter's range there and, for memory, within the announced memory.
#include "fuzz/fuzz_check.h"
#include "protocol/tuned_value.h"
#include "protocol/tuning_parameters.h"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr std::uint64_t announcedMegabytes[] = {1, 512, 24105, 1048576, 2147483647};

// The versions the service tunes, and an unknown one.
ValueTarget ServerOf(unsigned char version, unsigned char flags)
{
    ValueTarget server;
    const std::size_t index = version % (tunedServerVersionCount + 1);
    if (index < tunedServerVersionCount)
        server.version = ReadServerVersion(tunedServerVersions[index]);
    server.windows = (flags & 1) != 0;
    server.bits32 = (flags & 2) != 0;
    return server;
}

// kB or ms in one of the value's unit; 0 for a unit the oracle does not know.
long double UnitSize(ValueKind kind, const std::string& unit)
{
    if (kind == ValueKind::memory)
        return unit == "kB" ? 1.0L : unit == "MB" ? 1024.0L : unit == "GB" ? 1048576.0L : unit == "TB" ? 1073741824.0L : 0;
    return unit == "ms" ? 1.0L : unit == "s" ? 1e3L : unit == "min" ? 6e4L : unit == "h" ? 3.6e6L : unit == "d" ? 8.64e7L : 0;
}

// The value the server ends up with, in the setting's own unit.
void RequireWithinRange(std::size_t slot, const std::string& value, const TunedTarget& target)
{
    const ParameterForm& form = tuningParameterForms[slot];
    const Bounds bounds = ParameterBounds(slot, target.server);
    char* end = nullptr;
    if (form.kind == ValueKind::decimal) {
        const long double figure = std::strtold(value.c_str(), &end);
        Require(*end == '\0' && figure >= bounds.least && figure <= bounds.most, "a decimal is within its range");
        return;
    }
    const long double figure = std::strtold(value.c_str(), &end); // base 10: no octal here
    const std::string unit = end;
    long double amount = figure * form.unitSize; // in kB or ms
    if (!unit.empty()) {
        Require(form.kind == ValueKind::memory || form.kind == ValueKind::time, "only memory and time have units");
        Require(UnitSize(form.kind, unit) > 0, "a unit the server reads");
        Require(unit != "TB" || !(target.server.version < ServerVersion{9, 4}), "TB only where the server reads it");
        amount = figure * UnitSize(form.kind, unit);
    }
    if (form.kind == ValueKind::memory)
        Require(amount <= static_cast<long double>(target.memoryKilobytes), "memory within the announced memory");
    const long double inUnit = amount / form.unitSize;
    const int major = target.server.version.major;
    if (major == 0 || major >= 12)
        Require(std::nearbyint(inUnit) >= bounds.least && std::nearbyint(inUnit) <= bounds.most,
                "within the range once rounded to the nearest unit");
    if (major < 12)
        Require(std::trunc(inUnit) >= bounds.least && std::trunc(inUnit) <= bounds.most,
                "within the range once truncated to the unit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size < 3)
        return 0;
    // The first byte picks the parameter (slots past the table included), the next two the
    // server and the machine, the rest is the value.
    const std::size_t slot = data[0] % (tuningParameterCount + 2);
    TunedTarget target;
    target.server = ServerOf(data[1], data[2]);
    target.memoryKilobytes = announcedMegabytes[(data[2] >> 2) % std::size(announcedMegabytes)] * 1024;
    const std::string_view value(reinterpret_cast<const char*>(data + 3), size - 3);
    if (!IsSoundTunedValue(slot, value, target))
        return 0;
    Require(slot < tuningParameterCount, "no value is sound for a slot outside the table");
    Require(value.size() <= 32, "a sound value is short");
    for (const char c : value) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
        Require(plain, "a sound value holds only digits, letters and a decimal point");
    }
    if (value.empty())
        return 0;
    Require(!(value[0] == '0' && value.size() > 1 && value[1] >= '0' && value[1] <= '9'), "no leading zero");
    const ValueKind kind = tuningParameterForms[slot].kind;
    if (kind == ValueKind::boolean)
        return 0;
    RequireWithinRange(slot, std::string(value), target);
    return 0;
}
