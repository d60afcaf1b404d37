// The Windows sources of the system information: the memory status, the profile variables
// and the locale name, against what the system itself reports.
#include "tuning/system_info.h"

#include <gtest/gtest.h>

#include <windows.h>

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
    ResetLocaleName();
    char key[16];
    std::snprintf(key, sizeof key, "%04lx", static_cast<unsigned long>(GetSystemDefaultLCID()));
    char value[255] = {};
    DWORD size = sizeof value;
    const bool known = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\MIME\\Database\\Rfc1766", key,
                                    RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS;
    const std::string expected = known ? std::string(value).substr(0, std::string(value).find(';')).substr(0, 9)
                                       : "Unknown";
    EXPECT_EQ(std::string(GetLocaleName()), expected) << "locale " << key;
    ResetLocaleName();
}
