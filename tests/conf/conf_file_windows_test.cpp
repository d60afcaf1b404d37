// The safe replace and the reads on Windows: ReplaceFileW over an existing file, MoveFileExW
// into an empty place, the target's rights on the new file, and failures that leave the old
// file whole. Under wine rights are kept as mode bits only: what is checked is whether the
// "Everyone" entry comes and goes with the target's rights, not an exact round trip.
#include "conf/conf_file.h"
#include "conf/configuration_file.h"
#include "installations/server.h"

#include "tests/support/temp_dir.h"
#include "tests/support/windows_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>

namespace {

wxString Path(const std::string& path)
{
    return wxString::FromUTF8(path);
}

void Restrict(const std::string& path)
{
    ASSERT_TRUE(SetDacl(path, restrictedDacl));
    ASSERT_FALSE(EveryoneMayRead(path)) << DaclText(path);
}

// Gives the open file the DACL of a descriptor text, as a preparation does.
bool SetHandleDacl(NativeFile file, const char* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    const BOOL set = SetKernelObjectSecurity(reinterpret_cast<HANDLE>(file), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return set != FALSE;
}

std::vector<std::string> FolderContent(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(ConfFileWindowsTest, ReplaceGivesTheNewContentTheTargetsRightsAndLeavesNothingBehind)
{
    struct Case {
        const char* description;
        bool exists;
        bool restricted;
        bool relative;
    };
    const Case cases[] = {
        {"existing file with restricted rights", true, true, false},
        {"existing file open to everyone", true, false, false},
        {"existing file named relative to the current folder", true, true, true},
        {"no file yet: moved into place", false, false, false},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const std::string target = folder.file("postgresql.conf");
        if (c.exists)
            WriteFileBytes(target, "old\r\n");
        if (c.restricted)
            Restrict(target);
        const std::filesystem::path previous = std::filesystem::current_path();
        std::filesystem::current_path(folder.path());
        wxString reason;
        const bool replaced = ReplaceFileContent(c.relative ? wxString(wxT("postgresql.conf")) : Path(target), "new\r\n",
                                                 nullptr, reason);
        std::filesystem::current_path(previous);
        ASSERT_TRUE(replaced) << c.description << ": " << reason.utf8_string();
        EXPECT_EQ(ReadFileBytes(target), "new\r\n") << c.description;
        if (c.exists) {
            EXPECT_EQ(EveryoneMayRead(target), !c.restricted) << c.description << ": " << DaclText(target);
        }
        EXPECT_EQ(FolderContent(folder.path()), std::vector<std::string>{"postgresql.conf"}) << c.description;
    }
}

TEST(ConfFileWindowsTest, PreparedRightsComeOnTopOfTheTargets)
{
    TempDir folder;
    const std::string target = folder.file("postgresql.conf");
    WriteFileBytes(target, "old\r\n");
    wxString reason;
    const auto restrict = [](NativeFile temporary, wxString&) { return SetHandleDacl(temporary, restrictedDacl); };
    ASSERT_TRUE(ReplaceFileContent(Path(target), "new\r\n", restrict, reason)) << reason.utf8_string();
    EXPECT_FALSE(EveryoneMayRead(target)) << DaclText(target);
}

TEST(ConfFileWindowsTest, FailuresLeaveTheOldFileWholeAndNoTemporaryFile)
{
    struct Case {
        const char* description;
        const char* name; // relative to the folder
        bool prepareFails;
        bool heldOpen;    // another program holds the target open and will not share it
        const char* reason; // exact, or empty for the system's own text
        const char* prepared = ""; // rights the preparation gives before it fails
        bool create = false;       // a new file, whose name must be free
    };
    const Case cases[] = {
        {"the rights cannot be given", "postgresql.conf", true, false, "no rights for you"},
        // Under wine such rights leave no write bit: the file is taken for read-only.
        {"the rights given leave the temporary file read-only, then fail", "postgresql.conf", true, false,
         "no rights for you", "D:P(A;;FA;;;SY)"},
        {"the target is a folder", "folder", false, false, "It is not a regular file."},
        {"the target's folder is missing", "missing\\postgresql.conf", false, false, ""},
        {"the target is held open without sharing", "postgresql.conf", false, true, ""},
        {"a new file's name is taken", "postgresql.conf", false, false,
         "Something is already there under that name; it has been left alone.", "", true},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const std::string target = folder.file("postgresql.conf");
        WriteFileBytes(target, "old\r\n");
        std::filesystem::create_directory(folder.file("folder"));
        const std::vector<std::string> before = FolderContent(folder.path());
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (c.heldOpen) {
            holder = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        }
        const auto prepare = [&c](NativeFile temporary, wxString& why) {
            if (*c.prepared) {
                EXPECT_TRUE(SetHandleDacl(temporary, c.prepared)) << c.description;
            }
            if (!c.prepareFails)
                return true;
            why = wxT("no rights for you");
            return false;
        };
        wxString reason;
        const wxString path = Path(folder.file(c.name));
        EXPECT_FALSE(c.create ? CreateFileContent(path, "new\r\n", prepare, reason)
                              : ReplaceFileContent(path, "new\r\n", prepare, reason))
            << c.description;
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        if (*c.reason)
            EXPECT_EQ(reason.utf8_string(), c.reason) << c.description;
        else
            EXPECT_FALSE(reason.empty()) << c.description;
        EXPECT_EQ(ReadFileBytes(target), "old\r\n") << c.description;
        EXPECT_EQ(FolderContent(folder.path()), before) << c.description;
    }
}

namespace {

// The Unix name wine gives a file; empty when not under wine.
std::string UnixName(const std::string& path)
{
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return std::string();
    char* name = convert(wxString::FromUTF8(path).wc_str());
    if (!name)
        return std::string();
    const std::string unixName(name);
    HeapFree(GetProcessHeap(), 0, name);
    return unixName;
}

// Runs a shell command line as Unix runs it. Wine starts a Unix program apart from its caller
// and does not pass its exit code on: the command's effect is awaited by the caller.
void RunUnixShell(const std::string& command)
{
    RunCommandLine(L"/bin/sh -c \"" + wxString::FromUTF8(command).ToStdWstring() + L"\"");
}

// The file's Unix mode, in which wine keeps its rights: more than the entries it shows.
std::string UnixMode(const std::string& unixName)
{
    TempDir answers;
    const std::string answer = answers.file("mode");
    const std::string unixAnswer = UnixName(answers.path()) + "/mode";
    RunUnixShell("stat -c %a '" + unixName + "' > '" + unixAnswer + ".part' && mv '" + unixAnswer + ".part' '" +
                 unixAnswer + "'");
    for (int wait = 0; wait < 100 && GetFileAttributesA(answer.c_str()) == INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(100);
    return ReadFileBytes(answer);
}

} // namespace

// Under wine rights are the mode bits of the file's Unix owner: those of a file that another
// account owns cannot be given to a new file. The access test once wrote them back (taking
// every bit away) and the failed save left its temporary file, read-only, beside it. Now
// the file keeps its content and rights, and nothing is left.
TEST(ConfFileWindowsTest, AnotherAccountsFileUnderWineIsLeftAsItWas)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "old\r\n");
    const std::string unixName = UnixName(conf);
    if (unixName.empty())
        GTEST_SKIP() << "only wine keeps rights as the mode bits of a Unix owner";
    // Awaited in the rights wine shows: an entry for an account it does not know.
    RunUnixShell("chmod 0640 '" + unixName + "' && chown 65534:65534 '" + unixName + "'");
    for (int wait = 0; wait < 100 && DaclText(conf).find(";;;AN)") == std::string::npos; ++wait)
        Sleep(100);
    const std::string before = DaclText(conf);
    ASSERT_NE(before.find(";;;AN)"), std::string::npos) << "the file was not given to another account: " << before;
    ASSERT_EQ(UnixMode(unixName), "640\n");

    Server server;
    server.port = 5432;
    server.dataDirectory = Path(folder.path());
    EXPECT_TRUE(server.CheckConfAccess());
    EXPECT_EQ(DaclText(conf), before) << "the access test changed the rights";
    EXPECT_EQ(UnixMode(unixName), "640\n") << "the access test changed the rights";
    wxString reason;
    EXPECT_FALSE(ReplaceFileContent(Path(conf), "new\r\n", GiveHeldRights(server), reason));
    EXPECT_EQ(reason.utf8_string(), "The access rights of the file could not be given to its replacement.");
    EXPECT_EQ(ReadFileBytes(conf), "old\r\n");
    EXPECT_EQ(DaclText(conf), before);
    EXPECT_EQ(UnixMode(unixName), "640\n");
    EXPECT_EQ(FolderContent(folder.path()), std::vector<std::string>{"postgresql.conf"});
}

TEST(ConfFileWindowsTest, ReadTellsMissingFromUnreadable)
{
    TempDir folder;
    WriteFileBytes(folder.file("postgresql.conf"), "\xEF\xBB\xBFport = 5432\nmax_connections = 100\r\n");
    std::filesystem::create_directory(folder.file("folder"));
    struct Case {
        const char* description;
        const char* name;
        ConfRead result;
        std::vector<std::string> lines;
        const char* reason;
    };
    const Case cases[] = {
        {"a file", "postgresql.conf", ConfRead::read, {"port = 5432", "max_connections = 100"}, ""},
        {"nothing there", "missing.conf", ConfRead::missing, {}, ""},
        {"nor its folder", "missing\\postgresql.conf", ConfRead::missing, {}, ""},
        {"a folder", "folder", ConfRead::failed, {}, "It is not a regular file."},
    };
    for (const Case& c : cases) {
        std::vector<wxString> lines;
        wxString reason;
        EXPECT_EQ(ReadConfFile(Path(folder.file(c.name)), lines, reason), c.result) << c.description;
        std::vector<std::string> text;
        for (const wxString& line : lines)
            text.push_back(line.utf8_string());
        EXPECT_EQ(text, c.lines) << c.description;
        EXPECT_EQ(reason.utf8_string(), c.reason) << c.description;
    }
}
