// The access test and the held DACL on Windows. Under wine a DACL is kept as mode bits only
// (the owner, SYSTEM and "Everyone" as the mode allows), so what is checked is what survives
// that: whether "Everyone" may read. Exact round trips of other entries, inheritance flags
// and protected DACLs need a Windows machine.
#include "installations/server.h"

#include "tests/support/temp_dir.h"
#include "tests/support/windows_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>


TEST(FileSecurityWindowsTest, AccessTestAnswers)
{
    TempDir folder;
    WriteFileBytes(folder.file("postgresql.conf"), "port = 5432\r\n");
    WriteFileBytes(folder.file("readonly.conf"), "port = 5432\r\n");
    ASSERT_TRUE(SetFileAttributesA(folder.file("readonly.conf").c_str(), FILE_ATTRIBUTE_READONLY));
    std::filesystem::create_directory(folder.file("dir"));
    struct Case {
        const char* description;
        int port;
        std::string path; // data directory, or the hand-chosen file
        bool passes;
    };
    const Case cases[] = {
        {"discovered, writable", 5432, folder.path(), true},
        {"hand-chosen, writable", 0, folder.file("postgresql.conf"), true},
        {"hand-chosen, read-only", 0, folder.file("readonly.conf"), false},
        {"hand-chosen, a folder", 0, folder.file("dir"), false},
        {"discovered, no file in the data directory", 5432, folder.file("dir"), false},
        {"nothing chosen", 0, "", false},
    };
    for (const Case& c : cases) {
        Server server;
        server.port = c.port;
        (c.port ? server.dataDirectory : server.baseDirectory) = wxString::FromUTF8(c.path);
        EXPECT_EQ(server.CheckConfAccess(), c.passes) << c.description;
        EXPECT_EQ(server.fileSecurity != nullptr, c.passes) << c.description;
    }
    SetFileAttributesA(folder.file("readonly.conf").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadFileBytes(folder.file("postgresql.conf")), "port = 5432\r\n");
}

TEST(FileSecurityWindowsTest, HeldRightsGoToTheRewrittenFile)
{
    struct Case {
        const char* description;
        const char* dacl; // of the tested file; empty: as created
        bool everyone;
    };
    const Case cases[] = {
        {"owner and system only", restrictedDacl, false},
        {"as created, readable by everyone", "", true},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, "old\r\n");
        if (*c.dacl)
            ASSERT_TRUE(SetDacl(conf, c.dacl));
        const std::string before = DaclText(conf);
        Server server;
        server.port = 5432;
        server.dataDirectory = wxString::FromUTF8(folder.path());
        ASSERT_TRUE(server.CheckConfAccess()) << c.description;
        EXPECT_EQ(DaclText(conf), before) << c.description << ": the test leaves the rights as they were";

        // A new file gets its folder's rights; the held copy turns them into the tested file's.
        const std::string other = folder.file("postgresql.conf.new");
        WriteFileBytes(other, "new\r\n");
        ASSERT_TRUE(SetDacl(other, *c.dacl ? "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)" : restrictedDacl));
        EXPECT_TRUE(server.ApplyFileSecurity(wxString::FromUTF8(other))) << c.description;
        EXPECT_EQ(EveryoneMayRead(other), c.everyone) << c.description << ": " << DaclText(other);
    }
}

TEST(FileSecurityWindowsTest, DiscoveredInstallationReusesItsCopy)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "old\r\n");
    ASSERT_TRUE(SetDacl(conf, restrictedDacl));
    Server server;
    server.port = 5432;
    server.dataDirectory = wxString::FromUTF8(folder.path());
    ASSERT_TRUE(server.CheckConfAccess());
    // Opened to everyone after the first test: the second test writes the first copy back.
    ASSERT_TRUE(SetDacl(conf, "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)"));
    ASSERT_TRUE(server.CheckConfAccess());
    EXPECT_FALSE(EveryoneMayRead(conf)) << DaclText(conf);
}

TEST(FileSecurityWindowsTest, ExactDaclAndItsProtectionCarriedOver)
{
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr)
        GTEST_SKIP() << "wine keeps a DACL as mode bits, so named entries and the protected flag do not survive; "
                        "run this test on Windows to check exact round trips";
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "old\r\n");
    ASSERT_TRUE(SetDacl(conf, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)"));
    const std::string before = DaclText(conf);
    Server server;
    server.port = 0;
    server.baseDirectory = wxString::FromUTF8(conf);
    ASSERT_TRUE(server.CheckConfAccess());
    const std::string other = folder.file("other.conf");
    WriteFileBytes(other, "new\r\n");
    ASSERT_TRUE(server.ApplyFileSecurity(wxString::FromUTF8(other)));
    EXPECT_EQ(DaclText(other), before);
}
