#include "tuning/system_info.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

char* exchangeId = nullptr;

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
        const std::string name = LocaleNameFromSetting(LocaleSetting());
        std::snprintf(localeName, localeNameSize, "%s", name.c_str());
    }
    return localeName;
}

void ResetLocaleName()
{
    localeName[0] = '\0';
}

std::string LocaleSetting()
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0')
            return value;
    }
    return std::string();
}

std::string LocaleNameFromSetting(const std::string& setting)
{
    // language[_territory][.codeset][@modifier]: only language and territory make the name.
    const std::string base = setting.substr(0, setting.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX")
        return "Unknown";
    std::string name;
    for (const char c : base) {
        if (c == '_' || c == '-')
            name += '-';
        else if (std::isalnum(static_cast<unsigned char>(c)))
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else
            return "Unknown"; // not a locale name, e.g. a path to a locale file
    }
    if (name.front() == '-' || name.back() == '-')
        return "Unknown";
    return name.substr(0, localeNameSize - 1);
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

std::string ProcessorModelFromCpuInfo(const std::string& cpuInfo)
{
    // x86 names the model "model name"; other architectures use "Processor" or "cpu model".
    for (const char* key : {"model name", "Processor", "cpu model"}) {
        std::size_t lineStart = 0;
        while (lineStart < cpuInfo.size()) {
            std::size_t lineEnd = cpuInfo.find('\n', lineStart);
            if (lineEnd == std::string::npos)
                lineEnd = cpuInfo.size();
            const std::string line = cpuInfo.substr(lineStart, lineEnd - lineStart);
            lineStart = lineEnd + 1;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string field = line.substr(0, colon);
            while (!field.empty() && std::isspace(static_cast<unsigned char>(field.back())))
                field.pop_back();
            if (field != key)
                continue;
            std::size_t valueStart = colon + 1;
            while (valueStart < line.size() && std::isspace(static_cast<unsigned char>(line[valueStart])))
                ++valueStart;
            std::string value = line.substr(valueStart);
            while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
                value.pop_back();
            if (!value.empty())
                return value;
        }
    }
    return std::string();
}

const char* GetExchangeId()
{
    if (exchangeId != nullptr && exchangeId[0] != '\0')
        return exchangeId;
    std::free(exchangeId);
    exchangeId = strdup(NewUuidText().c_str());
    return exchangeId;
}

void FreeExchangeId()
{
    std::free(exchangeId);
    exchangeId = nullptr;
}
