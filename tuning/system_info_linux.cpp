// The Linux sources of the system information.
#include "tuning/system_info.h"
#include "tuning/system_info_linux.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

bool QueryTotalMemory(std::uint64_t& totalBytes)
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        totalBytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
        return true;
    }
    struct sysinfo info {};
    if (sysinfo(&info) != 0 || info.totalram == 0)
        return false;
    totalBytes = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
    return true;
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

std::string LookUpLocaleName()
{
    return LocaleNameFromSetting(LocaleSetting());
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

PlatformProfile QueryPlatformProfile()
{
    PlatformProfile profile;
    struct utsname names {};
    if (uname(&names) == 0) {
        profile.os = names.sysname;
        profile.processorArchitecture = names.machine;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0)
        profile.processorCount = std::to_string(online);
    std::ifstream cpuInfo("/proc/cpuinfo");
    if (cpuInfo) {
        std::ostringstream text;
        text << cpuInfo.rdbuf();
        profile.processorIdentifier = ProcessorModelFromCpuInfo(text.str());
    }
    return profile;
}

std::string NewUuidText()
{
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_lower(uuid, text);
    return text;
}
