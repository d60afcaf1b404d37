// Memory figures, locale names, the machine profile and the exchange identifier.
#include "tuning/system_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

class MemorySource
{
public:
    explicit MemorySource(std::function<bool(std::uint64_t&)> source) { SetTotalMemorySource(std::move(source)); }
    ~MemorySource() { SetTotalMemorySource({}); }
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
