// What both platforms share: the facts as the service receives them, and the memory announced.
#include "tuning/machine_facts.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

TEST(MachineFacts, ItemsInTheServicesOrderWithoutTheUnknown)
{
    MachineFacts facts;
    EXPECT_TRUE(FactItems(facts).empty());
    facts.walFreeMb = 20480;
    facts.features = "lz4,zstd";
    facts.maxConnectionsNow = 300;
    facts.hugepageKb = 2048;
    facts.hugepagesTotal = 0;
    facts.memoryLimitMb = 4096;
    facts.storage = Storage::unknown;
    facts.cpus = 8;
    EXPECT_EQ(FactItems(facts),
              (std::vector<std::string>{"cpus=8", "storage=unknown", "memory_limit_mb=4096", "hugepages_total=0",
                                        "hugepage_kb=2048", "max_connections_now=300", "features=lz4,zstd",
                                        "wal_free_mb=20480"}));
    facts.cpus.reset();
    facts.memoryLimitMb.reset();
    facts.features = "";
    facts.storage = Storage::ssd;
    EXPECT_EQ(FactItems(facts), (std::vector<std::string>{"storage=ssd", "hugepages_total=0", "hugepage_kb=2048",
                                                          "max_connections_now=300", "features=", "wal_free_mb=20480"}));
}

TEST(MachineFacts, AnnouncedMemoryIsTheSmallerOfMachineAndLimit)
{
    const std::uint64_t gib = std::uint64_t(1) << 30;
    const auto machineOf = [](std::uint64_t bytes) {
        return [bytes](std::uint64_t& total) {
            total = bytes;
            return true;
        };
    };
    struct Case
    {
        std::optional<std::uint64_t> limitMb;
        std::uint64_t expected;
    };
    for (const Case& c : {Case{std::nullopt, 16 * gib}, Case{4096, 4 * gib}, Case{65536, 16 * gib},
                          Case{UINT64_MAX, 16 * gib}}) {
        MachineFacts facts;
        facts.memoryLimitMb = c.limitMb;
        std::uint64_t bytes = 0;
        ASSERT_TRUE(EffectiveMemorySource(facts, machineOf(16 * gib))(bytes));
        EXPECT_EQ(bytes, c.expected);
    }
    MachineFacts limited;
    limited.memoryLimitMb = 1024;
    std::uint64_t bytes = 0;
    EXPECT_FALSE(EffectiveMemorySource(limited, [](std::uint64_t&) { return false; })(bytes))
        << "a limit alone is not the machine's memory";
}

// The running server is found through its postmaster.pid, whose first line is read alone.
TEST(MachineFacts, TheRunningServerNamedByItsPidFile)
{
    const struct
    {
        const char* contents; // null: no file
        long process;
    } cases[] = {
        {"4242\n/var/lib/postgresql/15/main\n1765000000\n5432\n", 4242},
        {"4242", 4242},
        {nullptr, 0},
        {"", 0},
        {"-5\n", 0},
        {"42x\n", 0},
        {"99999999999\n", 0},
        {" 4242\n", 0},
    };
    for (const auto& c : cases) {
        TempDir data;
        if (c.contents)
            WriteFileBytes(data.file("postmaster.pid"), c.contents);
        EXPECT_EQ(RunningServerProcess(wxString::FromUTF8(data.path())), c.process) << (c.contents ? c.contents : "none");
    }
    EXPECT_EQ(RunningServerProcess(wxString()), 0);
}
