// Reading configuration files and writing them back: decoding, the backup, the safe replace,
// a full disk, an unwritable file, and what PostgreSQL reads from a saved file.
#include "conf/active_settings.h"
#include "conf/conf_file.h"
#include "conf/conf_text.h"
#include "conf/configuration_file.h"
#include "protocol/tuning_parameters.h"
#include "installations/server.h"
#include "tests/conf/conf_test_support.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>

namespace {

wxString Path(const std::string& path)
{
    return wxString::FromUTF8(path);
}

std::vector<std::string> Utf8(const std::vector<wxString>& lines)
{
    std::vector<std::string> out;
    for (const wxString& line : lines)
        out.push_back(line.utf8_string());
    return out;
}

// The merged and annotated text of a file, as the save writes it.
bool Save(Server& server, const std::string& path, wxString& error)
{
    MergedLines merged;
    if (!MergeConfigurationFile(server, Path(path), wxDateTime::Now(), nullptr, merged, error))
        return false;
    return WriteConfigurationFile(server, Path(path), std::move(merged), wxT("2026/01/02 03:04:05"), error);
}

} // namespace

TEST(ConfTextTest, DecodesByteOrderMarksAndLineEnds)
{
    struct Case {
        const char* description;
        std::string bytes;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"UTF-8 without mark, LF", "a = 1\nb = 2\n", {"a = 1", "b = 2"}},
        {"no final line end", "a\nb", {"a", "b"}},
        {"CR LF, lone CR and LF mixed; empty lines kept", "a\r\nb\rc\n\nd\r\n", {"a", "b", "c", "", "d"}},
        {"UTF-8 mark is dropped", "\xEF\xBB\xBF" "caf\xC3\xA9\n", {"caf\xC3\xA9"}},
        {"UTF-16 LE", std::string("\xFF\xFE" "a\0=\0\xE9\0\r\0\n\0b\0", 14), {"a=\xC3\xA9", "b"}},
        {"UTF-16 BE with a surrogate pair", std::string("\xFE\xFF\0x\xD8\x3D\xDE\x00", 8), {"x\xF0\x9F\x98\x80"}},
        {"UTF-32 LE (not taken for UTF-16)", std::string("\xFF\xFE\0\0x\0\0\0\n\0\0\0", 12), {"x"}},
        {"UTF-32 BE", std::string("\0\0\xFE\xFF\0\0\0y", 8), {"y"}},
        {"empty file", "", {}},
        {"mark only", "\xEF\xBB\xBF", {}},
        {"two UTF-8 marks: both dropped", "\xEF\xBB\xBF\xEF\xBB\xBF" "a\n", {"a"}},
        {"UTF-16 LE with a second mark", std::string("\xFF\xFE\xFF\xFE" "a\0", 6), {"a"}},
        {"a mark after the first character is text", "a\xEF\xBB\xBF\n\xEF\xBB\xBF" "b",
         {"a\xEF\xBB\xBF", "\xEF\xBB\xBF" "b"}},
    };
    for (const Case& c : cases) {
        std::vector<wxString> lines;
        wxString reason;
        EXPECT_TRUE(DecodeConfText(c.bytes, lines, reason)) << c.description << ": " << reason.utf8_string();
        EXPECT_EQ(Utf8(lines), c.lines) << c.description;
    }
}

TEST(ConfTextTest, RefusesWhatDoesNotDecode)
{
    struct Case {
        const char* description;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"a Latin-1 byte", "ok\ncaf\xE9\n", "It is not UTF-8 text (at byte 6)."},
        {"an overlong form", "\xC0\xAF", "It is not UTF-8 text (at byte 0)."},
        {"an encoded surrogate", "a\xED\xA0\x80", "It is not UTF-8 text (at byte 1)."},
        {"a cut sequence at the end", "ab\xE2\x82", "It is not UTF-8 text (at byte 2)."},
        {"a NUL byte", std::string("a\0b", 3), "It holds a NUL character (at byte 1)."},
        {"odd UTF-16", std::string("\xFF\xFE" "a\0b", 5), "Its UTF-16 text ends in half a character (at byte 4)."},
        {"lone UTF-16 surrogate", std::string("\xFF\xFE\x00\xDC", 4),
         "Its UTF-16 text holds a broken surrogate pair (at byte 2)."},
        {"UTF-32 out of range", std::string("\0\0\xFE\xFF\0\x11\0\0", 8),
         "Its UTF-32 text holds an invalid character (at byte 4)."},
    };
    for (const Case& c : cases) {
        std::vector<wxString> lines;
        wxString reason;
        EXPECT_FALSE(DecodeConfText(c.bytes, lines, reason)) << c.description;
        EXPECT_EQ(reason.utf8_string(), c.reason) << c.description;
        EXPECT_TRUE(lines.empty()) << c.description << ": no partial result";
    }
}

TEST(ConfTextTest, WritesUtf8WithCrLf)
{
    std::string bytes;
    AppendConfLine(bytes, wxString::FromUTF8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    AppendConfLine(bytes, wxString());
    EXPECT_EQ(bytes, "caf\xC3\xA9 \xF0\x9F\x98\x80\r\n\r\n");
}

TEST(ConfFileTest, CurrentMaxConnectionsWithAutoConfWinning)
{
    struct Case
    {
        const char* what;
        const char* conf;
        const char* autoConf; // null: no postgresql.auto.conf
        std::optional<long> expected;
        bool packaged = false; // the file in a folder of its own, naming the data directory
    };
    const Case cases[] = {
        {"the last active line", "max_connections = 100\n#max_connections = 500\nMAX_CONNECTIONS = 300 # more\n", nullptr, 300},
        {"ALTER SYSTEM's file wins", "max_connections = 100\n", "max_connections = '250'\n", 250},
        {"a file that does not set it", "max_connections = 100\n", "# Do not edit this file manually!\n", 100},
        {"without \"=\"", "max_connections 120\n", nullptr, 120},
        {"another name that starts the same", "max_connections_x = 5\n", nullptr, std::nullopt},
        {"only commented", "#max_connections = 100\n", nullptr, std::nullopt},
        {"not a whole number", "max_connections = 1e3\n", nullptr, std::nullopt},
        {"beyond the server's bound", "max_connections = 9999999\n", nullptr, std::nullopt},
        {"the data directory the file names", "max_connections = 100\n", "max_connections = 400\n", 400, true},
        {"a file that cannot be read is not guessed past", "max_connections = 100\n", "max_connections = 7 # caf\xE9\n", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        TempDir data;
        const TempDir& confFolder = c.packaged ? dir : data;
        std::string conf = c.conf;
        if (c.packaged)
            conf += "data_directory = '" + data.path() + "'\n";
        WriteFileBytes(confFolder.file("postgresql.conf"), conf);
        if (c.autoConf)
            WriteFileBytes(data.file("postgresql.auto.conf"), c.autoConf);
        EXPECT_EQ(CurrentMaxConnections(Path(confFolder.file("postgresql.conf")), Path(confFolder.path())), c.expected);
    }
}

TEST(ConfFileTest, BackupAndSaveOfAMarkedLfFileComeBackWithCrLfAndNoMark)
{
    const struct {
        const char* description;
        const char* marks;
    } cases[] = {
        {"one mark", "\xEF\xBB\xBF"},
        {"two marks: the backup reads back as it was written", "\xEF\xBB\xBF\xEF\xBB\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        const std::string backup = folder.file("postgresql.conf.20260102030405");
        WriteFileBytes(conf, std::string(c.marks) + "# caf\xC3\xA9\nmax_connections = 100\n");
        Server server;
        server.SetVersion("15");
        server.values[0] = wxT("200");

        bool written = false;
        wxString error;
        ASSERT_TRUE(WriteBackupFile(server, Path(conf), Path(backup), written, error)) << error.utf8_string();
        EXPECT_TRUE(written);
        EXPECT_EQ(ReadFileBytes(backup), "# caf\xC3\xA9\r\nmax_connections = 100\r\n");

        ASSERT_TRUE(Save(server, conf, error)) << error.utf8_string();
        EXPECT_EQ(ReadFileBytes(conf), "# caf\xC3\xA9\r\n"
                                       "# NOTE: This has been modified by Norvane's Pelloran on 2026/01/02 03:04:05\r\n"
                                       "#       Original Value for \"max_connections\" was \"100\"\r\n"
                                       "max_connections = 200\r\n");
        EXPECT_EQ(FolderSnapshot(folder.path()).size(), 2u) << "no temporary file left";
    }
}

TEST(ConfFileTest, AFileThatDoesNotDecodeStopsEverythingAndChangesNothing)
{
    const struct {
        const char* description;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"Latin-1", "max_connections = 100 # caf\xE9\n", "It is not UTF-8 text (at byte 27)."},
        {"NUL byte", std::string("max_connections = 100\n\0\n", 24), "It holds a NUL character (at byte 22)."},
    };
    for (const auto& c : cases) {
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, c.bytes);
        const auto before = FolderSnapshot(folder.path());
        Server server;
        server.values[0] = wxT("200");
        const std::string readError = "The configuration file could not be read: " + conf + "\n" + c.reason;

        bool written = true;
        wxString error;
        EXPECT_FALSE(WriteBackupFile(server, Path(conf), Path(folder.file("backup")), written, error));
        EXPECT_FALSE(written);
        EXPECT_EQ(error.utf8_string(), readError + "\nNothing has been written.") << c.description;
        error.clear();
        EXPECT_FALSE(Save(server, conf, error)) << c.description;
        EXPECT_EQ(error.utf8_string(), readError) << c.description;
        EXPECT_EQ(FolderSnapshot(folder.path()), before) << c.description;
    }
}

TEST(ConfFileTest, AFileTheUserMayNotWriteIsLeftAlone)
{
    const OrdinaryUser& user = TestUser();
    if (!user.available)
        GTEST_SKIP() << user.why;
    TempDir folder;
    chmod(folder.path().c_str(), 0777); // the folder is writable: only the file's own bit refuses
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "max_connections = 100\n");
    chmod(conf.c_str(), 0444);
    const auto before = FolderSnapshot(folder.path());
    Server server;
    server.values[0] = wxT("200");
    wxString error;
    bool saved;
    {
        ActingAs acting(user);
        saved = Save(server, conf, error);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(error.utf8_string(),
              "File Not Accessible: " + conf + "\nMake sure that you are running this application as an administrator.");
    EXPECT_EQ(FolderSnapshot(folder.path()), before);
}

TEST(ConfFileTest, ReplaceKeepsOwnerAndModeAndUndoesAFailedPreparation)
{
    TempDir folder;
    const std::string target = folder.file("postgresql.conf");
    WriteFileBytes(target, "old\r\n");
    chmod(target.c_str(), 0640);
    const OrdinaryUser& user = TestUser();
    const bool root = geteuid() == 0 && user.available;
    if (root) {
        ASSERT_EQ(chown(target.c_str(), user.uid, user.gid), 0);
    }
    wxString reason;

    // A preparation that fails (rights that did not take) leaves the target as it was.
    struct stat prepared = {};
    EXPECT_FALSE(ReplaceFileContent(Path(target), "new\r\n",
                                    [&](NativeFile temporary, wxString& why) {
                                        fstat(static_cast<int>(temporary), &prepared);
                                        why = wxT("rights refused");
                                        return false;
                                    },
                                    reason));
    EXPECT_EQ(reason, wxT("rights refused"));
    EXPECT_EQ(ReadFileBytes(target), "old\r\n");
    struct stat folderInfo = {};
    ASSERT_EQ(stat(folder.path().c_str(), &folderInfo), 0);
    EXPECT_EQ(prepared.st_dev, folderInfo.st_dev) << "prepared on the target's file system";
    EXPECT_TRUE(S_ISREG(prepared.st_mode));
    EXPECT_EQ(prepared.st_size, 5) << "the whole new content, before any rights were given";
    EXPECT_EQ(prepared.st_mode & 07777, 0640u) << "the target's mode, before any rights were given";
    EXPECT_EQ(FolderSnapshot(folder.path()).size(), 1u) << "temporary file removed";

    ASSERT_TRUE(ReplaceFileContent(Path(target), "new\r\n", nullptr, reason)) << reason.utf8_string();
    EXPECT_EQ(ReadFileBytes(target), "new\r\n");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(info.st_uid, user.uid);
        EXPECT_EQ(info.st_gid, user.gid);
    }
}

namespace {

// Owner, group, mode and bytes of a file, to see that nothing touched it.
std::string Fingerprint(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return "missing";
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) + " " + std::to_string(info.st_mode) +
           " " + ReadFileBytes(path);
}

} // namespace

// Whoever may write the configuration's folder (the database account owns it on packaged
// layouts) can put a link, or a file, at the backup's name, which the review page shows, or
// at postgresql.conf itself. A save run by root follows none of them and replaces nothing
// outside: it refuses with the reason.
TEST(ConfFileTest, ASaveFollowsNoLinkAndTakesNoNameThatIsThere)
{
    const std::string link = "It is a symbolic link, which is not followed.";
    const std::string linkedFolder = "Its folder is a symbolic link, which is not followed.";
    const std::string taken = "Something is already there under that name; it has been left alone.";
    struct Case {
        const char* description;
        const char* plantAt; // a name in the folder; empty: the folder is reached through a link
        const char* plant;   // "link" (to a root-owned file elsewhere), "file" or "fifo"
        std::string refusal; // of the access test and of the save, after the path; empty: none
        bool backupRefused;  // the conf file passes, but the backup's name is taken
    };
    const Case cases[] = {
        {"a link at the backup's name", "postgresql.conf.20260102030405", "link", taken, true},
        {"a file at the backup's name", "postgresql.conf.20260102030405", "file", taken, true},
        {"postgresql.conf a link", "postgresql.conf", "link", link, false},
        {"postgresql.conf a pipe", "postgresql.conf", "fifo", "It is not a regular file.", false},
        {"the folder a link", "", "link", linkedFolder, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        TempDir outside;
        const std::string victim = outside.file("victim");
        WriteFileBytes(victim, "root's own\n");
        ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
        TempDir parent;
        const std::string real = parent.file("real");
        std::filesystem::create_directory(real);
        const std::string folder = *c.plantAt ? real : parent.file("main");
        if (!*c.plantAt) {
            ASSERT_EQ(symlink(real.c_str(), folder.c_str()), 0);
        }
        const std::string conf = folder + "/postgresql.conf";
        const std::string backup = folder + "/postgresql.conf.20260102030405";
        const std::string planted = real + "/" + c.plantAt;
        if (std::string(c.plantAt) != "postgresql.conf")
            WriteFileBytes(real + "/postgresql.conf", "max_connections = 100\n");
        if (*c.plantAt && c.plant == std::string("link")) {
            ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
        } else if (c.plant == std::string("file")) {
            WriteFileBytes(planted, "someone's\n");
        } else if (c.plant == std::string("fifo")) {
            ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
        }
        const std::string victimBefore = Fingerprint(victim);
        const auto before = FolderSnapshot(real);

        Server server;
        server.port = 5432;
        server.dataDirectory = Path(folder);
        server.SetVersion("15");
        server.values[0] = wxT("200");
        wxString refusal;
        const bool passed = server.CheckConfAccess(&refusal);
        wxString error;
        if (c.backupRefused) {
            EXPECT_TRUE(passed);
            EXPECT_EQ(refusal, wxString());
            bool written = true;
            EXPECT_FALSE(WriteBackupFile(server, Path(conf), Path(backup), written, error));
            EXPECT_FALSE(written);
            EXPECT_EQ(error.utf8_string(), "The backup file could not be written: " + backup + "\n" + c.refusal +
                                               "\nThe configuration file has not been changed.");
        } else {
            EXPECT_FALSE(passed);
            EXPECT_EQ(refusal.utf8_string(), conf + "\n" + c.refusal);
            // The save's own refusal, for a file changed after the access test.
            std::vector<wxString> lines{wxT("max_connections = 200")};
            MergedLines merged = MergeConfigurationLines(server, &lines, wxDateTime::Now(), nullptr);
            EXPECT_FALSE(WriteConfigurationFile(server, Path(conf), std::move(merged), wxT("2026/01/02 03:04:05"),
                                                error));
            EXPECT_EQ(error.utf8_string(), "The configuration file could not be written: " + conf + "\n" +
                                               c.refusal + "\nIt has been left as it was.");
        }
        EXPECT_EQ(Fingerprint(victim), victimBefore);
        EXPECT_EQ(FolderSnapshot(outside.path()).size(), 1u);
        EXPECT_EQ(FolderSnapshot(real), before) << "nothing left, nothing replaced";
    }
}

namespace {

// Runs `step` in a child process whose kernel answers an open for an unnamed file (O_TMPFILE)
// as a file system without them does (NFS, FAT): no such file system can be mounted here.
// True when the step returned true.
bool WithoutUnnamedFiles(const std::function<bool()>& step)
{
    const pid_t child = fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, __O_TMPFILE & ~O_DIRECTORY, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(2);
        _exit(step() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "the filter could not be set";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(ConfFileTest, WithoutUnnamedFilesANamedTemporaryFileTakesTheirPlace)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    const std::string backup = folder.file("postgresql.conf.20260102030405");
    WriteFileBytes(conf, "old\r\n");
    ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
    wxString reason;
    const auto refuse = [](NativeFile, wxString& why) {
        why = wxT("rights refused");
        return false;
    };

    EXPECT_FALSE(WithoutUnnamedFiles([&] { return ReplaceFileContent(Path(conf), "new\r\n", refuse, reason); }));
    EXPECT_EQ(FolderSnapshot(folder.path()), (std::map<std::string, std::string>{{"postgresql.conf", "old\r\n"}}))
        << "the temporary file is removed";

    ASSERT_EQ(symlink(conf.c_str(), backup.c_str()), 0);
    EXPECT_FALSE(WithoutUnnamedFiles([&] { return CreateFileContent(Path(backup), "bak\r\n", nullptr, reason); }));
    EXPECT_EQ(FolderSnapshot(folder.path()).size(), 2u) << "nothing but the file and the link";
    EXPECT_EQ(ReadFileBytes(conf), "old\r\n");
    ASSERT_EQ(unlink(backup.c_str()), 0);

    EXPECT_TRUE(WithoutUnnamedFiles([&] { return CreateFileContent(Path(backup), "bak\r\n", nullptr, reason); }));
    EXPECT_TRUE(WithoutUnnamedFiles([&] { return ReplaceFileContent(Path(conf), "new\r\n", nullptr, reason); }));
    EXPECT_EQ(FolderSnapshot(folder.path()),
              (std::map<std::string, std::string>{{"postgresql.conf", "new\r\n"},
                                                  {"postgresql.conf.20260102030405", "bak\r\n"}}));
    struct stat info;
    ASSERT_EQ(stat(conf.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A real full disk: a 64 KiB tmpfs, filled.
TEST(ConfFileTest, AFullDiskLeavesTheOriginalAndNoTemporaryFile)
{
    TempDir folder;
    const std::string mountPoint = folder.file("small");
    std::filesystem::create_directory(mountPoint);
    if (geteuid() != 0 || mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root (a full disk cannot be made otherwise here)";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    const std::string conf = mountPoint + "/postgresql.conf";
    std::string original;
    for (int i = 0; i < 200; ++i)
        original += "#work_mem = 1MB   # a line of the original file\n";
    WriteFileBytes(conf, original);
    // Fill what is left; dd stops at the first failed write.
    Shell("dd if=/dev/zero of='" + mountPoint + "/filler' bs=1k count=1000 2>/dev/null");
    const auto before = FolderSnapshot(mountPoint);

    Server server;
    server.values[2] = wxT("4MB"); // every line becomes three: the file grows past the space left
    wxString error;
    EXPECT_FALSE(Save(server, conf, error));
    EXPECT_TRUE(error.StartsWith(Path("The configuration file could not be written: " + conf + "\n")))
        << error.utf8_string();
    EXPECT_TRUE(error.EndsWith(wxT("\nIt has been left as it was."))) << error.utf8_string();
    EXPECT_EQ(FolderSnapshot(mountPoint), before);
}

namespace {

std::string Acl(const std::string& path)
{
    const ProgramResult result = RunProgram({"getfacl", "-c", "-p", path});
    return result.exitCode == 0 ? result.standardOutput : "getfacl failed: " + result.standardError;
}

} // namespace

TEST(ConfFileTest, ANamedUserAclSurvivesTheSaveInAFolderTheOwnerMayWrite)
{
    const OrdinaryUser& user = TestUser();
    if (!user.available || geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner needs root";
    TempDir folder;
    // The folder belongs to the file's owner, as the database account owns it on packaged
    // layouts: root saves there all the same, with the same care.
    ASSERT_EQ(chown(folder.path().c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(chmod(folder.path().c_str(), 0700), 0);
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "max_connections = 100\n");
    ASSERT_EQ(chown(conf.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
    ASSERT_EQ(RunProgram({"setfacl", "-m", "u:nobody:r", conf}).exitCode, 0);
    struct stat before;
    ASSERT_EQ(stat(conf.c_str(), &before), 0);
    const std::string aclBefore = Acl(conf);
    ASSERT_NE(aclBefore.find("user:nobody:r--"), std::string::npos) << aclBefore;

    Server server;
    server.port = 5432;
    server.dataDirectory = Path(folder.path());
    server.SetVersion("15");
    server.values[0] = wxT("200");
    ASSERT_TRUE(server.CheckConfAccess());
    bool written = false;
    wxString error;
    const std::string backup = folder.file("postgresql.conf.20260102030405");
    ASSERT_TRUE(WriteBackupFile(server, Path(conf), Path(backup), written, error)) << error.utf8_string();
    ASSERT_TRUE(Save(server, conf, error)) << error.utf8_string();

    for (const std::string& path : {conf, backup}) {
        struct stat after;
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, before.st_uid) << path;
        EXPECT_EQ(after.st_gid, before.st_gid) << path;
        EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << path;
        EXPECT_EQ(Acl(path), aclBefore) << path;
    }
    EXPECT_NE(ReadFileBytes(conf).find("max_connections = 200\r\n"), std::string::npos);
}

// PostgreSQL 15 itself reads every tuned value back from a saved file with CR LF line ends and
// starts from it: also when the file held a quoted value with a space, and when the answer held
// parameters that 15 no longer has.
TEST(ConfFileTest, PostgreSqlReadsTheSavedFile)
{
    const std::string bin = "/usr/lib/postgresql/15/bin/";
    if (!FileExists(bin + "initdb") || !FileExists(bin + "postgres"))
        GTEST_SKIP() << "PostgreSQL 15 is not installed (package postgresql-15)";
    const OrdinaryUser& user = TestUser();
    if (!user.available)
        GTEST_SKIP() << user.why;
    TempDir folder;
    chmod(folder.path().c_str(), 0755);
    const std::string data = folder.file("data");
    std::filesystem::create_directory(data);
    std::vector<std::string> asUser;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(data.c_str(), user.uid, user.gid), 0);
        asUser = {"setpriv", "--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid),
                  "--clear-groups"};
    }
    auto run = [&](std::vector<std::string> command) {
        command.insert(command.begin(), asUser.begin(), asUser.end());
        ProgramOptions options;
        options.timeoutSeconds = 120;
        options.environment["LC_ALL"] = "C";
        return RunProgram(command, options);
    };
    const ProgramResult init = run({bin + "initdb", "-D", data, "-A", "trust", "-U", "postgres", "--no-sync",
                                    "--no-instructions", "-E", "UTF8", "--locale=C"});
    ASSERT_EQ(init.exitCode, 0) << init.standardError;
    const std::string conf = data + "/postgresql.conf";
    const std::string initdbFile = ReadFileBytes(conf);
    auto shownValue = [&](const std::string& name) {
        const ProgramResult shown = run({bin + "postgres", "-D", data, "-C", name});
        EXPECT_EQ(shown.exitCode, 0) << name << ": " << shown.standardError;
        return shown.standardOutput;
    };

    struct Tuned {
        const char* name;
        const char* value;
        const char* shown; // postgres -C answers in the parameter's base unit; null: not written
    };
    const struct {
        const char* description;
        const char* version;
        const char* initdbText; // replaced in the file initdb made by `ownText`, unless null
        const char* ownText;
        const char* ownTextShown; // shared_buffers as PostgreSQL reads the file before the save, unless null
        std::vector<Tuned> tuned;
    } cases[] = {
        {"every tuned value", "15", nullptr, nullptr, nullptr,
         {
             {"max_connections", "200", "200"},
             {"shared_buffers", "256MB", "32768"}, // 8 kB pages
             {"work_mem", "8MB", "8192"},
             {"maintenance_work_mem", "64MB", "65536"},
             {"wal_buffers", "16MB", "2048"},
             {"random_page_cost", "3", "3"},
             {"effective_cache_size", "2GB", "262144"},
             {"autovacuum", "off", "off"},
             {"autovacuum_naptime", "2min", "120"},
             {"autovacuum_vacuum_threshold", "60", "60"},
             {"autovacuum_analyze_threshold", "70", "70"},
             {"autovacuum_vacuum_scale_factor", "0.1", "0.1"},
             {"autovacuum_analyze_scale_factor", "0.05", "0.05"},
         }},
        {"a quoted value with a space", "15", "shared_buffers = 128MB", "shared_buffers = '128 MB'", "16384",
         {{"shared_buffers", "256MB", "32768"}}},
        {"parameters that 15.18 no longer has, one of them commented out in a file from an older server", "15.18",
         "max_wal_size = 1GB", "max_wal_size = 1GB\n#checkpoint_segments = 3\t\t# in logfile segments", nullptr,
         {
             {"max_connections", "200", "200"},
             {"checkpoint_segments", "16", nullptr},
             {"max_fsm_pages", "204800", nullptr},
             {"max_fsm_relations", "1000", nullptr},
             {"stats_row_level", "on", nullptr},
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        std::string before = initdbFile;
        if (c.initdbText) {
            const std::size_t at = before.find(c.initdbText);
            ASSERT_NE(at, std::string::npos) << "initdb no longer writes " << c.initdbText;
            before.replace(at, std::strlen(c.initdbText), c.ownText);
        }
        WriteFileBytes(conf, before);
        if (c.ownTextShown) {
            EXPECT_EQ(shownValue("shared_buffers"), std::string(c.ownTextShown) + "\n") << "PostgreSQL reads " << c.ownText;
        }

        Server server;
        server.port = 5432;
        server.dataDirectory = Path(data);
        server.SetVersion(c.version);
        for (const Tuned& t : c.tuned)
            for (std::size_t i = 0; i < tuningParameterCount; ++i)
                if (wxString(tuningParameterNames[i]) == t.name)
                    server.values[i] = t.value;
        wxString error;
        ASSERT_TRUE(Save(server, conf, error)) << error.utf8_string();
        const std::string saved = ReadFileBytes(conf);
        EXPECT_EQ(saved.find("\n"), saved.find("\r\n") + 1) << "CR LF line ends";

        for (const Tuned& t : c.tuned) {
            if (t.shown) {
                // The whole value, then the line's end, its comment or the blanks before it.
                const std::string setting = std::string("\r\n") + t.name + " = " + t.value;
                const std::size_t at = saved.find(setting);
                ASSERT_NE(at, std::string::npos) << t.name;
                EXPECT_NE(std::strchr(" \t#\r", saved[at + setting.size()]), nullptr) << t.name;
                EXPECT_EQ(shownValue(t.name), std::string(t.shown) + "\n") << t.name;
            } else {
                EXPECT_EQ(saved.find(std::string("\n") + t.name), std::string::npos) << t.name << " is not set";
            }
        }
        // Reading a parameter proves the file is accepted; starting proves the server runs from it.
        const std::string socketFolder = data;
        std::filesystem::remove(data + "/server.log");
        const ProgramResult started = run({bin + "pg_ctl", "-D", data, "-l", data + "/server.log", "-w", "-t", "60",
                                           "-o", "-c listen_addresses='' -k " + socketFolder, "start"});
        EXPECT_EQ(started.exitCode, 0) << started.standardOutput << ReadFileBytes(data + "/server.log");
        if (started.exitCode == 0) {
            const ProgramResult stopped = run({bin + "pg_ctl", "-D", data, "-m", "fast", "-w", "stop"});
            EXPECT_EQ(stopped.exitCode, 0) << stopped.standardOutput << stopped.standardError;
        }
    }
}
