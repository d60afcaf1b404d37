// What a Windows program file and a hand-chosen file's folder tell about the server.
#include "installations/server_program.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(ServerProgramWindowsTest, WordSizeComesFromThePeHeader)
{
    char self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    EXPECT_EQ(ProgramWordSize(wxString::FromUTF8(self)), wxT("64")) << "this test program is built for x86-64";
    EXPECT_EQ(MachineWordSize(), wxT("64"));

    TempDir folder;
    WriteFileBytes(folder.file("text.exe"), "MZ but nothing more");
    WriteFileBytes(folder.file("elf"), "\x7f" "ELF\x02\x01\x01");
    for (const char* name : {"text.exe", "elf", "missing.exe"})
        EXPECT_EQ(ProgramWordSize(wxString::FromUTF8(folder.file(name))), wxString()) << name;
}

TEST(ServerProgramWindowsTest, AChosenFileGetsItsDataDirectorysVersionAndBitness32)
{
    TempDir folder;
    WriteFileBytes(folder.file("postgresql.conf"), "port = 5432\r\n");
    WriteFileBytes(folder.file("PG_VERSION"), "15\r\n");
    const wxString confFile = wxString::FromUTF8(folder.file("postgresql.conf"));
    const ConfFileServer found = FindConfFileServer(confFile);
    EXPECT_EQ(found.version, wxT("15"));
    EXPECT_EQ(found.program, wxString());
    EXPECT_EQ(ConfFileBitness(confFile), wxT("32"));
}
