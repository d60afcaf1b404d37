// The Linux sources of the system information.
#include "tuning/system_info.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

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
