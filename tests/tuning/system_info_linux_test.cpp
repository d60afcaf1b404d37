// The Linux sources of the system information: memory, locale settings and the profile.
#include "tuning/system_info.h"
#include "tuning/system_info_linux.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>

namespace {

class Environment
{
public:
    Environment()
    {
        for (const char* name : names)
            if (const char* value = std::getenv(name))
                saved[name] = value;
    }
    ~Environment()
    {
        for (const char* name : names) {
            if (saved.count(name))
                setenv(name, saved[name].c_str(), 1);
            else
                unsetenv(name);
        }
        ResetLocaleName();
    }
    void Set(const char* name, const char* value)
    {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }

private:
    static constexpr const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::map<std::string, std::string> saved;
};

} // namespace

TEST(MemoryInfo, PlatformFigureMatchesTheMachine)
{
    SetTotalMemorySource({});
    ASSERT_TRUE(FetchMemoryInfo());
    const long long expected = static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1 << 20);
    EXPECT_EQ(std::atoll(memoryMegabytes), expected);
    EXPECT_TRUE(std::regex_match(memoryGigabytes, std::regex("[0-9]+\\.[0-9]{4}"))) << memoryGigabytes;
}

TEST(LocaleName, FromSettings)
{
    struct Case
    {
        const char* setting;
        const char* name;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "en-us"},
        {"de_DE@euro", "de-de"},
        {"pt_BR.ISO-8859-1", "pt-br"},
        {"fr", "fr"},
        {"sr_RS.UTF-8@latin", "sr-rs"},
        {"C", "Unknown"},
        {"C.UTF-8", "Unknown"},
        {"POSIX", "Unknown"},
        {"", "Unknown"},
        {"/usr/share/locale/xx", "Unknown"},
        {"_US", "Unknown"},
        {"abcdefgh_IJKL", "abcdefgh-"}, // kept to nine characters
    };
    for (const Case& c : cases)
        EXPECT_EQ(LocaleNameFromSetting(c.setting), c.name) << "setting '" << c.setting << "'";
}

TEST(LocaleName, EnvironmentOrderAndCaching)
{
    Environment environment;
    struct Case
    {
        const char* description;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* name;
    };
    const Case cases[] = {
        {"LC_ALL wins", "de_AT.UTF-8", "fr_FR", "en_GB", "de-at"},
        {"LC_MESSAGES before LANG", nullptr, "fr_FR", "en_GB", "fr-fr"},
        {"an empty LC_ALL is passed over", "", nullptr, "en_GB.UTF-8", "en-gb"},
        {"nothing set", nullptr, nullptr, nullptr, "Unknown"},
    };
    for (const Case& c : cases) {
        environment.Set("LC_ALL", c.lcAll);
        environment.Set("LC_MESSAGES", c.lcMessages);
        environment.Set("LANG", c.lang);
        ResetLocaleName();
        EXPECT_STREQ(GetLocaleName(), c.name) << c.description;
        environment.Set("LC_ALL", "ja_JP.UTF-8");
        EXPECT_STREQ(GetLocaleName(), c.name) << c.description << ": the first answer stays";
        EXPECT_EQ(GetLocaleName(), localeName);
    }
}

TEST(SystemProfile, ProcessorModelFromCpuInfo)
{
    EXPECT_EQ(ProcessorModelFromCpuInfo("processor\t: 0\nvendor_id\t: GenuineIntel\n"
                                        "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz \nflags\t: fpu\n"
                                        "processor\t: 1\nmodel name\t: Other\n"),
              "Intel(R) Xeon(R) CPU @ 2.20GHz");
    EXPECT_EQ(ProcessorModelFromCpuInfo("Processor\t: ARMv7 Processor rev 4 (v7l)\nmodel name\t:\n"),
              "ARMv7 Processor rev 4 (v7l)") << "an empty model name is passed over";
    EXPECT_EQ(ProcessorModelFromCpuInfo("processor\t: 0\nBogoMIPS\t: 50.00\n"), "");
    EXPECT_EQ(ProcessorModelFromCpuInfo(""), "");
}

TEST(SystemProfile, ThisMachine)
{
    char os[osTextSize], count[processorCountSize], architecture[processorArchitectureSize],
        identifier[processorIdentifierSize];
    ReadSystemProfile(os, count, architecture, identifier);
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_STREQ(os, "Linux");
    EXPECT_STREQ(architecture, names.machine);
    EXPECT_EQ(std::atol(count), sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_LT(std::strlen(identifier), processorIdentifierSize);
}
