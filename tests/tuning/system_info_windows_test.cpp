// The Windows sources of the system information: the memory status, the profile variables
// and the locale name, against what the system itself reports.
#include "tuning/system_info.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

TEST(MemoryInfo, PlatformFigureMatchesTheMachine)
{
    SetTotalMemorySource({});
    ASSERT_TRUE(FetchMemoryInfo());
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(std::atoll(memoryMegabytes), static_cast<long long>(status.ullTotalPhys >> 20));
}

TEST(SystemProfile, FromTheEnvironment)
{
    struct Case {
        const char* description;
        const char* os; // null: not set
        std::string identifier;
        const char* expectedOs;
        bool identifierKept;
    };
    const Case cases[] = {
        {"as Windows sets them", "Windows_NT", "Intel64 Family 6 Model 85 Stepping 7, GenuineIntel", "Windows_NT", true},
        {"no OS variable", nullptr, std::string(255, 'I'), "", true},
        {"an identifier that does not fit", "Windows_NT", std::string(256, 'I'), "Windows_NT", false},
    };
    char savedOs[64] = {}, savedIdentifier[512] = {};
    const bool hadOs = GetEnvironmentVariableA("OS", savedOs, sizeof savedOs) > 0;
    const bool hadIdentifier = GetEnvironmentVariableA("PROCESSOR_IDENTIFIER", savedIdentifier, sizeof savedIdentifier) > 0;
    for (const Case& c : cases) {
        SetEnvironmentVariableA("OS", c.os);
        SetEnvironmentVariableA("PROCESSOR_IDENTIFIER", c.identifier.c_str());
        SetEnvironmentVariableA("NUMBER_OF_PROCESSORS", "4");
        char os[osTextSize], count[processorCountSize], architecture[processorArchitectureSize],
            identifier[processorIdentifierSize];
        ReadSystemProfile(os, count, architecture, identifier);
        EXPECT_STREQ(os, c.expectedOs) << c.description;
        EXPECT_STREQ(count, "4") << c.description;
        EXPECT_EQ(std::string(identifier), c.identifierKept ? c.identifier : "") << c.description;
    }
    SetEnvironmentVariableA("OS", hadOs ? savedOs : nullptr);
    SetEnvironmentVariableA("PROCESSOR_IDENTIFIER", hadIdentifier ? savedIdentifier : nullptr);
}

TEST(LocaleName, FromTheSystemsLocaleKey)
{
    const char* const keyPath = "SOFTWARE\\Classes\\MIME\\Database\\Rfc1766";
    char name[16];
    std::snprintf(name, sizeof name, "%04lx", static_cast<unsigned long>(GetSystemDefaultLCID()));
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    char saved[255] = {};
    DWORD savedSize = sizeof saved;
    const bool hadValue = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &savedSize) == 0;
    struct Case {
        const char* value; // null: no value for this locale
        const char* name;
    };
    const Case cases[] = {
        {"en-us;English (United States)", "en-us"},
        {"abcdefghijkl", "abcdefghi"},
        {nullptr, "Unknown"},
    };
    for (const Case& c : cases) {
        if (c.value)
            RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.value), std::strlen(c.value) + 1);
        else
            RegDeleteValueA(key, name);
        ResetLocaleName();
        EXPECT_STREQ(GetLocaleName(), c.name) << (c.value ? c.value : "no value");
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("de-de"), 6);
        EXPECT_STREQ(GetLocaleName(), c.name) << "the first answer stays";
    }
    if (hadValue)
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), savedSize);
    else
        RegDeleteValueA(key, name);
    RegCloseKey(key);
    if (disposition == REG_CREATED_NEW_KEY)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
    ResetLocaleName();
}
