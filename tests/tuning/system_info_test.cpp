// Memory figures, locale names, the machine profile and the exchange identifier.
#include "tuning/system_info.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>

namespace {

class MemorySource
{
public:
    explicit MemorySource(std::function<bool(std::uint64_t&)> source) { SetTotalMemorySource(std::move(source)); }
    ~MemorySource() { SetTotalMemorySource({}); }
};

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

TEST(MemoryInfo, FiguresFromByteCounts)
{
    struct Case
    {
        const char* description;
        std::uint64_t bytes;
        const char* gigabytes;
        const char* megabytes;
    };
    const Case cases[] = {
        {"exactly 2 GiB", 2147483648ull, "2.0000", "2048"},
        {"exactly 3 GiB", 3221225472ull, "3.0000", "3072"},
        {"exactly 4 GiB", 4294967296ull, "4.0000", "4096"},
        {"one byte short of 1 GiB: mebibytes cut down", 1073741823ull, "1.0000", "1023"},
        {"1.5 GiB", 1610612736ull, "1.5000", "1536"},
        {"beyond 32-bit mebibytes keeps the largest count", 1ull << 52, "4194304.0000", "2147483647"},
    };
    for (const Case& c : cases) {
        MemorySource source([&](std::uint64_t& bytes) {
            bytes = c.bytes;
            return true;
        });
        EXPECT_TRUE(FetchMemoryInfo()) << c.description;
        EXPECT_STREQ(memoryGigabytes, c.gigabytes) << c.description;
        EXPECT_STREQ(memoryMegabytes, c.megabytes) << c.description;
    }
}

TEST(MemoryInfo, ComputedOnceAndNotCachedWhenUnavailable)
{
    int queries = 0;
    bool available = false;
    MemorySource source([&](std::uint64_t& bytes) {
        ++queries;
        bytes = 2147483648ull;
        return available;
    });
    EXPECT_FALSE(FetchMemoryInfo());
    EXPECT_STREQ(memoryGigabytes, "");
    EXPECT_STREQ(memoryMegabytes, "");
    available = true;
    EXPECT_TRUE(FetchMemoryInfo()) << "a failure is not remembered";
    EXPECT_TRUE(FetchMemoryInfo());
    EXPECT_EQ(queries, 2) << "the second success comes from the cache";
    EXPECT_STREQ(memoryMegabytes, "2048");
}

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

TEST(SystemProfile, TextsThatDoNotFitAreLeftEmpty)
{
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    CopyProfileText(buffer, sizeof buffer, "123456789");
    EXPECT_STREQ(buffer, "123456789") << "nine characters and the terminator fit";
    CopyProfileText(buffer, sizeof buffer, "1234567890");
    EXPECT_STREQ(buffer, "") << "ten do not";
    for (char c : buffer)
        EXPECT_EQ(c, '\0') << "the buffer is zeroed";

    char identifier[processorIdentifierSize];
    CopyProfileText(identifier, sizeof identifier, std::string(255, 'A'));
    EXPECT_EQ(std::strlen(identifier), 255u);
    CopyProfileText(identifier, sizeof identifier, std::string(256, 'A'));
    EXPECT_STREQ(identifier, "");
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

TEST(ExchangeId, ReusedUntilFreedThenRenewed)
{
    const std::regex uuidForm("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    FreeExchangeId();
    const std::string first = GetExchangeId();
    EXPECT_TRUE(std::regex_match(first, uuidForm)) << first;
    EXPECT_EQ(std::string(GetExchangeId()), first);
    EXPECT_EQ(GetExchangeId(), GetExchangeId()) << "the same text, not a copy";
    FreeExchangeId();
    FreeExchangeId(); // releasing twice is harmless
    const std::string second = GetExchangeId();
    EXPECT_TRUE(std::regex_match(second, uuidForm)) << second;
    EXPECT_NE(second, first);
    FreeExchangeId();
}
