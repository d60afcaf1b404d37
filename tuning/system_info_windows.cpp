// The Windows sources of the system information: the memory status, the profile variables
// of the environment, the locale's RFC 1766 name and the RPC runtime's UUIDs.
#include "tuning/system_info.h"

#include <windows.h>
#include <rpc.h>

#include <cstdio>
#include <vector>

namespace {

const char* const rfc1766Key = "SOFTWARE\\Classes\\MIME\\Database\\Rfc1766";

// The whole value of an environment variable; empty when it is not set.
std::string EnvironmentText(const char* name)
{
    std::vector<char> buffer(256);
    for (;;) {
        const DWORD length = GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::string();
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length); // the size asked for, terminator included
    }
}

} // namespace

bool QueryTotalMemory(std::uint64_t& totalBytes)
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return false;
    totalBytes = status.ullTotalPhys;
    return true;
}

PlatformProfile QueryPlatformProfile()
{
    PlatformProfile profile;
    profile.os = EnvironmentText("OS");
    profile.processorCount = EnvironmentText("NUMBER_OF_PROCESSORS");
    profile.processorArchitecture = EnvironmentText("PROCESSOR_ARCHITECTURE");
    profile.processorIdentifier = EnvironmentText("PROCESSOR_IDENTIFIER");
    return profile;
}

std::string LookUpLocaleName()
{
    char identifier[16];
    std::snprintf(identifier, sizeof identifier, "%04lx", static_cast<unsigned long>(GetSystemDefaultLCID()));
    // Reading is all that is needed; asking for more would fail for an ordinary user.
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, rfc1766Key, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "Unknown";
    char value[255] = {};
    DWORD type = 0;
    DWORD size = sizeof value - 1; // room for a terminator the stored text may lack
    const LONG read = RegQueryValueExA(key, identifier, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return "Unknown";
    // "en-us;English (United States)": the name is the text before the first ';'.
    char name[localeNameSize] = {};
    if (std::sscanf(value, "%9[^;]", name) != 1)
        return "Unknown";
    return name;
}

std::string NewUuidText()
{
    UUID uuid;
    UuidCreate(&uuid);
    RPC_CSTR text = nullptr;
    if (UuidToStringA(&uuid, &text) != RPC_S_OK || text == nullptr)
        return std::string();
    std::string result(reinterpret_cast<const char*>(text));
    RpcStringFreeA(&text);
    return result;
}
