// The Windows facts on this machine (under wine the disk queries fail, and storage is unknown).
#include "tuning/machine_facts.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(MachineFactsWindows, ThisMachine)
{
    TempDir dir;
    std::filesystem::create_directories(dir.file("pg_wal"));
    FactsSubject subject;
    subject.dataDirectory = wxString::FromUTF8(dir.path());
    subject.serverProcess = 999999; // not running: the wizard's own affinity counts
    const MachineFacts facts = DetectMachineFacts(subject);
    ASSERT_TRUE(facts.cpus);
    EXPECT_GE(*facts.cpus, 1);
    EXPECT_TRUE(facts.storage);
    EXPECT_TRUE(facts.walFreeMb);
    EXPECT_FALSE(facts.memoryLimitMb);
    EXPECT_FALSE(facts.features);

    subject.dataDirectory = wxString::FromUTF8(dir.file("missing"));
    const MachineFacts missing = DetectMachineFacts(subject);
    EXPECT_EQ(missing.storage, Storage::unknown);
    EXPECT_FALSE(missing.walFreeMb);
}
