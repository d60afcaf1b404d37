#include "service/tuning_rules.h"

#include "protocol/hex_text.h"
#include "protocol/tuning_parameters.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace {

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The largest figure of megabytes the service computes with: 2^31 - 1 MB (2 PB) keeps every
// product below 2^63.
constexpr std::uint64_t largestMegabytes = INT_MAX;

// A positive whole number without sign, spaces or fraction, up to largestMegabytes.
bool PositiveWhole(const std::string& text, std::uint64_t& value)
{
    if (!AllDigits(text) || text.size() > 18)
        return false;
    value = std::stoull(text);
    return value > 0 && value <= largestMegabytes;
}

// Digits, optionally a point and more digits, not zero ("2.0000").
bool PositiveDecimal(const std::string& text)
{
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "0" : text.substr(point + 1);
    return AllDigits(whole) && AllDigits(fraction) && text.find_first_not_of("0.") != std::string::npos;
}

bool UsageLevel(const std::string& text, int& usage)
{
    if (text != "33" && text != "66" && text != "100")
        return false;
    usage = std::stoi(text);
    return true;
}

std::string Item(std::size_t number) { return "item " + std::to_string(number); }

} // namespace

bool DecodeItem(const char* hex, std::string& text)
{
    if (hex == nullptr || std::strlen(hex) % 2 != 0 || !IsHexString(hex))
        return false;
    // HexStrToStr stops at a zero byte; decode every byte so that one cannot hide the rest.
    const std::size_t length = std::strlen(hex) / 2;
    text.assign(length, '\0');
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
    };
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(digit(hex[2 * i]) * 16 + digit(hex[2 * i + 1]));
    return true;
}

Announcement CheckAnnouncement(const HexItems& items, const char* userId, const char* secret)
{
    Announcement announcement;
    if (items.size() != 19)
        return announcement;
    std::vector<std::string> texts(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!DecodeItem(items[i], texts[i]))
            return announcement;
    int usage = 0;
    std::uint64_t megabytes = 0;
    if (!UsageLevel(texts[17], usage) || !PositiveWhole(texts[14], megabytes) || !PositiveDecimal(texts[12]))
        return announcement;
    if (texts[15] != userId || texts[16] != secret) {
        announcement.verdict = '1';
        return announcement;
    }
    const std::string& version = texts[6];
    if (version.empty() || !std::isdigit(static_cast<unsigned char>(version[0])) ||
        ReadServerVersion(version) < ServerVersion{8, 2}) {
        announcement.verdict = '2';
        return announcement;
    }
    announcement.verdict = '0';
    announcement.identifier = texts[0];
    announcement.profile.version = ReadServerVersion(version);
    announcement.profile.windows = texts[7].compare(0, 7, "Windows") == 0;
    std::uint64_t processors = 0;
    if (PositiveWhole(texts[8], processors))
        announcement.profile.processorCount = static_cast<int>(processors);
    return announcement;
}

std::string ReadValuesRequest(const HexItems& items, ValuesRequest& request)
{
    if (items.size() != 7)
        return "getQuorvelInfo needs 7 items, not " + std::to_string(items.size());
    std::vector<std::string> texts(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!DecodeItem(items[i], texts[i]))
            return Item(i + 1) + " is not hex text";
    if (!UsageLevel(texts[1], request.usage))
        return "the usage level (item 2) must be 33, 66 or 100";
    if (!PositiveWhole(texts[2], request.ramMegabytes))
        return "the memory (item 3) must be a positive whole number of megabytes";
    if (texts[4] != "oltp")
        return "the workload (item 5) must be oltp";
    if (texts[6] != "32" && texts[6] != "64")
        return "the bitness (item 7) must be 32 or 64";
    request.identifier = texts[0];
    request.bits32 = texts[6] == "32";
    return {};
}

std::string MemoryText(std::uint64_t kilobytes)
{
    if (kilobytes % (1024 * 1024) == 0)
        return std::to_string(kilobytes / (1024 * 1024)) + "GB";
    if (kilobytes % 1024 == 0)
        return std::to_string(kilobytes / 1024) + "MB";
    return std::to_string(kilobytes) + "kB";
}

MemoryPlan PlanMemory(const ValuesRequest& request, const AnnouncedProfile& profile)
{
    const ServerVersion& v = profile.version;
    const int u = request.usage;
    const auto down8 = [](std::uint64_t kb) { return kb - kb % 8; };
    MemoryPlan plan;
    // M in hundredths of a kB, exact: RAM MB x 1024 x u / 100.
    plan.m100 = request.ramMegabytes * 1024 * static_cast<std::uint64_t>(u);
    plan.ramKilobytes = request.ramMegabytes * 1024;
    plan.connections = u == 33 ? 20 : u == 66 ? 100 : 200;
    // The largest value the server takes: 2^30 - 1 buffers.
    const std::uint64_t largestSharedBuffers = (static_cast<std::uint64_t>(INT_MAX) / 2) * 8;

    plan.sharedBuffers = std::max<std::uint64_t>(down8(plan.m100 / 400), 16 * 1024);
    if (profile.windows && v < ServerVersion{10, 0})
        plan.sharedBuffers = std::min<std::uint64_t>(plan.sharedBuffers, 512 * 1024);
    if (request.bits32)
        plan.sharedBuffers = std::min<std::uint64_t>(plan.sharedBuffers, 1024 * 1024);
    plan.sharedBuffers = std::min(plan.sharedBuffers, down8(largestSharedBuffers));

    // Up to 8.3 the server wants two buffers per server process (the connections, three
    // autovacuum workers and their launcher): a machine too small for that gets fewer.
    if (v < ServerVersion{8, 4})
        plan.connections =
            std::min<std::uint64_t>(plan.connections, std::min(plan.sharedBuffers, plan.ramKilobytes) / 8 / 2 - 4);
    return plan;
}

bool LongIs32Bits(const ValuesRequest& request, const AnnouncedProfile& profile)
{
    return (profile.windows && profile.version < ServerVersion{18, 0}) || request.bits32;
}

std::uint64_t WorkMemKilobytes(const MemoryPlan& plan, std::uint64_t connections, const ValuesRequest& request,
                               const AnnouncedProfile& profile)
{
    const std::uint64_t sharedBuffers100 = plan.sharedBuffers * 100;
    std::uint64_t workMem = plan.m100 > sharedBuffers100 ? (plan.m100 - sharedBuffers100) / (connections * 3 * 100) : 0;
    // Never below the server's own default: less would slow every sort the default lets fit.
    workMem = std::max<std::uint64_t>(workMem, profile.version < ServerVersion{9, 4} ? 1024 : 4096);
    if (LongIs32Bits(request, profile))
        workMem = std::min<std::uint64_t>(workMem, 2097151);
    return std::min<std::uint64_t>(workMem, INT_MAX);
}

std::uint64_t MaintenanceWorkMemKilobytes(const MemoryPlan& plan, const ValuesRequest& request,
                                          const AnnouncedProfile& profile)
{
    const std::uint64_t versionDefault = profile.version < ServerVersion{9, 4} ? 16 * 1024 : 64 * 1024;
    // "2GB" is beyond a 32-bit long; elsewhere more than 8GB only makes vacuum hold memory it
    // does not use.
    const std::uint64_t cap = LongIs32Bits(request, profile) ? 2047 * 1024 : 8 * 1024 * 1024;
    return std::clamp<std::uint64_t>(plan.m100 / 1600, versionDefault, cap);
}

std::array<std::string, tuningParameterCount> ComputeValues(const ValuesRequest& request, const AnnouncedProfile& profile)
{
    const ServerVersion& v = profile.version;
    const int u = request.usage;
    const auto byUsage = [u](const char* low, const char* mid, const char* high) { return u == 33 ? low : u == 66 ? mid : high; };
    const auto down8 = [](std::uint64_t kb) { return kb - kb % 8; };
    const MemoryPlan plan = PlanMemory(request, profile);
    const std::uint64_t m100 = plan.m100;
    const std::uint64_t sharedBuffers = plan.sharedBuffers;
    // The largest value the server takes: 2^31 - 1 pages.
    const std::uint64_t largestPages = static_cast<std::uint64_t>(INT_MAX) * 8;
    const std::uint64_t workMem = WorkMemKilobytes(plan, plan.connections, request, profile);
    const std::uint64_t maintenanceWorkMem = MaintenanceWorkMemKilobytes(plan, request, profile);

    std::uint64_t walBuffers = down8(sharedBuffers * 3 / 100);
    walBuffers = walBuffers >= 14 * 1024 ? 16 * 1024 : std::clamp<std::uint64_t>(walBuffers, 64, 16 * 1024);

    const std::uint64_t effectiveCacheSize = std::clamp<std::uint64_t>(down8(m100 * 3 / 400), 8, down8(largestPages));

    const std::uint64_t fsmPages =
        std::min<std::uint64_t>(std::max<std::uint64_t>(204800, request.ramMegabytes * u), INT_MAX);

    // No memory value beyond the machine's memory: the wizard refuses it, and on a tiny
    // machine the floors here would exceed it.
    const auto onMachine = [&plan](std::uint64_t kilobytes) { return MemoryText(std::min(kilobytes, plan.ramKilobytes)); };

    std::array<std::string, tuningParameterCount> values = {
        std::to_string(plan.connections),
        onMachine(sharedBuffers),
        onMachine(workMem),
        onMachine(maintenanceWorkMem),
        std::to_string(fsmPages),
        byUsage("1000", "2000", "4000"),
        onMachine(walBuffers),
        byUsage("8", "16", "32"),
        "4.0",
        onMachine(effectiveCacheSize),
        "on",
        "1min",
        "50",
        "50",
        u == 100 ? "0.1" : "0.2",
        u == 100 ? "0.05" : "0.1",
        "on",
    };
    // A parameter the announced version no longer has gets no value: the server would refuse it.
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (!ParameterExistsIn(i, v))
            values[i].clear();
    return values;
}
