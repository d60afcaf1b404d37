#include "installations/server.h"

#include "tests/installations/ordinary_user.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Owner, group and mode as stat prints them, then the ACL with numeric ids.
std::string Rights(const std::string& path)
{
    const ProgramResult status = RunProgram({"stat", "-c", "%u:%g %a", path});
    const ProgramResult acl = RunProgram({"getfacl", "-c", "-p", "-n", path});
    const ProgramResult labels = RunProgram({"getfattr", "--absolute-names", "-d", "-m", "^security\\.", path});
    std::string labelText = labels.standardOutput;
    labelText.erase(0, labelText.find('\n') + 1); // the "# file:" line names the file
    return status.standardOutput + acl.standardOutput + labelText;
}

void Shell(const std::vector<std::string>& command)
{
    const ProgramResult result = RunProgram(command);
    ASSERT_EQ(result.exitCode, 0) << command[0] << ": " << result.standardError;
}

// A discovered installation whose data directory is `folder`.
void Discovered(Server& server, const std::string& folder)
{
    server.port = 5432;
    server.dataDirectory = wxString::FromUTF8(folder);
}

struct ProbeResult
{
    std::string output;
    std::string traced; // the attribute reads the probe made, when traced
};

ProbeResult ProbeAs(const OrdinaryUser& user, const std::string& path, int port, const std::string& trace = "")
{
    std::vector<std::string> command = AsUser(user, {RIGHTS_PROBE_PATH, path, std::to_string(port)});
    if (!trace.empty())
        command.insert(command.begin(), {"strace", "-f", "-qq", "-e",
                                         "trace=getxattr,lgetxattr,fgetxattr,listxattr,flistxattr", "-o", trace});
    const ProgramResult result = RunProgram(command);
    ProbeResult probe;
    probe.output = result.standardOutput;
    if (result.exitCode != 0)
        probe.output += "exit " + std::to_string(result.exitCode) + ": " + result.standardError;
    if (!trace.empty())
        probe.traced = ReadFileBytes(trace);
    return probe;
}

} // namespace

TEST(FileSecurityTest, WritableFileKeepsItsRights)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "port = 5432\n");
    Shell({"chmod", "0640", conf});
    Shell({"setfacl", "-m", "u:nobody:r,g:daemon:rw", conf});
    const std::string before = Rights(conf);

    Server server;
    Discovered(server, folder.path());
    EXPECT_TRUE(server.CheckConfAccess());
    EXPECT_TRUE(server.fileSecurity != nullptr);
    EXPECT_EQ(Rights(conf), before);
    EXPECT_EQ(ReadFileBytes(conf), "port = 5432\n");
}

TEST(FileSecurityTest, DiscoveredInstallationReusesItsCopyHandChosenTakesItAfresh)
{
    struct Case {
        const char* description;
        bool discovered;
        bool entryKept; // the entry added between the two tests survives the second test
    };
    const Case cases[] = {
        {"discovered: the first copy is written back, the new entry goes", true, false},
        {"hand-chosen: the rights are read again, the new entry stays", false, true},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, "shared_buffers = 128MB\n");
        Shell({"chmod", "0600", conf});
        Server server;
        if (c.discovered)
            Discovered(server, folder.path());
        else
            server.baseDirectory = wxString::FromUTF8(conf);
        ASSERT_TRUE(server.CheckConfAccess()) << c.description;
        Shell({"setfacl", "-m", "u:nobody:rw", conf});
        ASSERT_TRUE(server.CheckConfAccess()) << c.description;
        const bool entry = Rights(conf).find("user:65534:rw-") != std::string::npos;
        EXPECT_EQ(entry, c.entryKept) << c.description << "\n" << Rights(conf);
    }
}

TEST(FileSecurityTest, MissingFileLinkOrOtherThanAFileFails)
{
    TempDir folder;
    struct Case {
        const char* description;
        int port;
        std::string dataDirectory;
        std::string baseDirectory;
        std::string refusal; // shown after the path; empty: none (nothing there to refuse)
    };
    ASSERT_EQ(mkdir(folder.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(folder.file("dir/postgresql.conf").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(folder.file("linked").c_str(), 0755), 0);
    WriteFileBytes(folder.file("elsewhere.conf"), "port = 5432\n");
    ASSERT_EQ(symlink(folder.file("elsewhere.conf").c_str(), folder.file("linked/postgresql.conf").c_str()), 0);
    ASSERT_EQ(mkdir(folder.file("fifo").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(folder.file("fifo/postgresql.conf").c_str(), 0666), 0);
    ASSERT_EQ(symlink(folder.file("fifo").c_str(), folder.file("folderlink").c_str()), 0);
    const std::string link = "It is a symbolic link, which is not followed.";
    const std::string other = "It is not a regular file.";
    const Case cases[] = {
        {"discovered: no postgresql.conf in the data directory", 5432, folder.path(), "", ""},
        {"discovered: postgresql.conf is a directory", 5432, folder.file("dir"), "", other},
        {"discovered: postgresql.conf is a symbolic link", 5432, folder.file("linked"), "", link},
        {"discovered: postgresql.conf is a pipe (never opened: it would hang)", 5432, folder.file("fifo"), "", other},
        {"discovered: the data directory is a symbolic link", 5432, folder.file("folderlink"), "",
         "Its folder is a symbolic link, which is not followed."},
        {"hand-chosen: a directory", 0, "", folder.path(), other},
        {"hand-chosen: a symbolic link", 0, "", folder.file("linked/postgresql.conf"), link},
        {"hand-chosen: nothing at the path", 0, "", folder.file("missing.conf"), ""},
        {"hand-chosen: nothing chosen", 0, "", "", ""},
    };
    for (const Case& c : cases) {
        Server server;
        server.port = c.port;
        server.dataDirectory = wxString::FromUTF8(c.dataDirectory);
        server.baseDirectory = wxString::FromUTF8(c.baseDirectory);
        wxString refusal;
        EXPECT_FALSE(server.CheckConfAccess(&refusal)) << c.description;
        const std::string path = server.GetConfFilePath().utf8_string();
        EXPECT_EQ(refusal.utf8_string(), c.refusal.empty() ? "" : path + "\n" + c.refusal) << c.description;
        EXPECT_TRUE(server.fileSecurity == nullptr) << c.description;
    }
    EXPECT_EQ(ReadFileBytes(folder.file("elsewhere.conf")), "port = 5432\n");
}

TEST(FileSecurityTest, OrdinaryUser)
{
    OrdinaryUser user;
    std::string reason;
    if (!GetOrdinaryUser(user, reason))
        GTEST_SKIP() << reason;
    const bool traced = RunProgram({"strace", "-V"}).exitCode == 0;

    struct Case {
        const char* description;
        bool userOwns;
        const char* mode;
        const char* acl; // extra entries, or empty
        int port;
        const char* expected;
    };
    const Case cases[] = {
        {"own writable file: passes", true, "0640", "", 5432, "access=1 held=1\n"},
        {"own file with a named-user entry: passes", true, "0660", "u:nobody:r", 5432, "access=1 held=1\n"},
        {"own hand-chosen file: passes", true, "0600", "", 0, "access=1 held=1\n"},
        {"own read-only file: fails", true, "0444", "", 5432, "access=0 held=0\n"},
        {"writable through the ACL only: fails", false, "0644", "u:pelloran-inst:rw", 5432, "access=0 held=0\n"},
        {"someone else's file writable by all: its rights cannot be rewritten", false, "0666", "", 5432,
         "access=0 held=0\n"},
    };
    for (const Case& c : cases) {
        TempDir folder;
        Shell({"chmod", "0755", folder.path()});
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, "port = 5432\n");
        if (c.userOwns)
            Shell({"chown", user.name + ":" + user.name, conf});
        Shell({"chmod", c.mode, conf});
        if (*c.acl)
            Shell({"setfacl", "-m", c.acl, conf});
        const std::string before = Rights(conf);
        const std::string trace = traced ? folder.file("trace") : "";

        const ProbeResult probe = ProbeAs(user, conf, c.port, trace);
        EXPECT_EQ(probe.output, c.expected) << c.description;
        EXPECT_EQ(Rights(conf), before) << c.description;
        EXPECT_EQ(ReadFileBytes(conf), "port = 5432\n") << c.description;
        if (traced && std::string(c.mode) == "0444") {
            EXPECT_EQ(probe.traced.find("xattr("), std::string::npos)
                << c.description << ": rights were read\n" << probe.traced;
        }
    }
}

TEST(FileSecurityTest, ReplacementFileGetsOwnerGroupModeAndAcl)
{
    OrdinaryUser user;
    std::string reason;
    if (!GetOrdinaryUser(user, reason))
        GTEST_SKIP() << reason;
    struct Case {
        const char* description;
        const char* mode;
        const char* acl;
        const char* folderDefault; // a default ACL on the folder that a new file takes over
        const char* label;         // a security label, as a MAC module keeps it
    };
    const Case cases[] = {
        {"named-user entry", "0640", "u:nobody:r", "", ""},
        {"named-user entry with a narrow mask", "0660", "u:nobody:rw,g::r,m::r", "", ""},
        {"named entries, folder default ACL", "0640", "u:nobody:r,g:daemon:r", "u:daemon:rwx", ""},
        {"mode only, folder default ACL: inherited entries dropped", "0604", "", "u:daemon:rwx,g:adm:rwx", ""},
        {"set-group-ID bit kept", "2640", "", "", ""},
        {"security label", "0640", "u:nobody:r", "", "system_u:object_r:postgresql_etc_t:s0"},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, "old\n");
        Shell({"chown", user.name + ":" + user.name, conf});
        Shell({"chmod", c.mode, conf});
        if (*c.acl)
            Shell({"setfacl", "-m", c.acl, conf});
        if (*c.folderDefault)
            Shell({"setfacl", "-d", "-m", c.folderDefault, folder.path()});
        if (*c.label && RunProgram({"setfattr", "-n", "security.selinux", "-v", c.label, conf}).exitCode != 0) {
            ADD_FAILURE() << c.description << ": this file system keeps no security labels";
            continue;
        }
        const std::string before = Rights(conf);

        Server server;
        Discovered(server, folder.path());
        ASSERT_TRUE(server.CheckConfAccess()) << c.description;
        const std::string temporary = folder.file("postgresql.conf.tmp");
        WriteFileBytes(temporary, "new\n");
        if (*c.label)
            Shell({"setfattr", "-n", "security.selinux", "-v", "unconfined_u:object_r:user_tmp_t:s0", temporary});
        ASSERT_NE(Rights(temporary), before) << c.description;
        EXPECT_TRUE(server.ApplyFileSecurity(wxString::FromUTF8(temporary))) << c.description;
        ASSERT_EQ(std::rename(temporary.c_str(), conf.c_str()), 0);
        EXPECT_EQ(Rights(conf), before) << c.description;
        EXPECT_EQ(ReadFileBytes(conf), "new\n");
    }
}

TEST(FileSecurityTest, NothingHeldAppliesNothing)
{
    TempDir folder;
    const std::string path = folder.file("file");
    WriteFileBytes(path, "x");
    Shell({"chmod", "0600", path});
    const std::string before = Rights(path);
    Server server;
    EXPECT_TRUE(server.ApplyFileSecurity(wxString::FromUTF8(path)));
    EXPECT_EQ(Rights(path), before);
}

// A copy with ACL entries given to a file on a file system without ACLs must fail and
// must not hand the mask's rights to the owning group through the mode bits.
TEST(FileSecurityTest, AclNeverDroppedForTheModeAlone)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "old\n");
    Shell({"chmod", "0640", conf});
    Shell({"setfacl", "-m", "u:nobody:rw,g::r", conf}); // mask rw: the mode shows group rw
    Server server;
    Discovered(server, folder.path());
    ASSERT_TRUE(server.CheckConfAccess());

    const std::string plain = folder.file("noacl");
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    if (mount("ramfs", plain.c_str(), "ramfs", 0, "mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a file system without ACLs (ramfs) here";
    const std::string temporary = plain + "/postgresql.conf.tmp";
    WriteFileBytes(temporary, "new\n");
    Shell({"chmod", "0600", temporary});
    EXPECT_FALSE(server.ApplyFileSecurity(wxString::FromUTF8(temporary)));
    struct stat status;
    ASSERT_EQ(stat(temporary.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0077, 0u) << "group or others gained rights";
    umount2(plain.c_str(), MNT_DETACH);
}
