#include "tuning/system_info.h"

#include <climits>
#include <cstdio>
#include <cstring>

char memoryGigabytes[memoryTextSize] = "";
char memoryMegabytes[memoryTextSize] = "";
char localeName[localeNameSize] = "";

namespace {

std::function<bool(std::uint64_t&)>& MemorySource()
{
    static std::function<bool(std::uint64_t&)> source;
    return source;
}

std::string exchangeId; // empty: none held

} // namespace

bool FetchMemoryInfo()
{
    if (memoryGigabytes[0] != '\0')
        return true;
    std::uint64_t totalBytes = 0;
    const bool known = MemorySource() ? MemorySource()(totalBytes) : QueryTotalMemory(totalBytes);
    if (!known)
        return false;
    const double bytes = static_cast<double>(totalBytes);
    const float gigabytes = static_cast<float>(bytes * (1.0 / (1u << 30)));
    const double megabytes = bytes * (1.0 / (1u << 20));
    // Cut toward zero to a 32-bit count; a machine beyond that range reports the largest one.
    const long wholeMegabytes = megabytes >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<long>(megabytes);
    std::snprintf(memoryGigabytes, memoryTextSize, "%.4f", static_cast<double>(gigabytes));
    std::snprintf(memoryMegabytes, memoryTextSize, "%ld", wholeMegabytes);
    return true;
}

void SetTotalMemorySource(std::function<bool(std::uint64_t&)> source)
{
    MemorySource() = std::move(source);
    memoryGigabytes[0] = '\0';
    memoryMegabytes[0] = '\0';
}

const char* GetLocaleName()
{
    if (localeName[0] == '\0') {
        const std::string name = LookUpLocaleName();
        std::snprintf(localeName, localeNameSize, "%s", name.c_str());
    }
    return localeName;
}

void ResetLocaleName()
{
    localeName[0] = '\0';
}

void CopyProfileText(char* buffer, std::size_t size, const std::string& text)
{
    std::memset(buffer, 0, size);
    if (text.size() + 1 <= size && text.find('\0') == std::string::npos)
        std::memcpy(buffer, text.data(), text.size());
}

void ReadSystemProfile(char (&os)[osTextSize], char (&processorCount)[processorCountSize],
                       char (&processorArchitecture)[processorArchitectureSize],
                       char (&processorIdentifier)[processorIdentifierSize])
{
    const PlatformProfile profile = QueryPlatformProfile();
    CopyProfileText(os, sizeof os, profile.os);
    CopyProfileText(processorCount, sizeof processorCount, profile.processorCount);
    CopyProfileText(processorArchitecture, sizeof processorArchitecture, profile.processorArchitecture);
    CopyProfileText(processorIdentifier, sizeof processorIdentifier, profile.processorIdentifier);
}

const char* GetExchangeId()
{
    if (exchangeId.empty())
        exchangeId = NewUuidText();
    return exchangeId.c_str();
}

void FreeExchangeId()
{
    exchangeId.clear();
}
