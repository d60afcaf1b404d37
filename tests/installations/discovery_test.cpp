#include "installations/discovery.h"
#include "installations/registry_layouts.h"
#include "installations/registry_reg_file.h"
#include "installations/server.h"
#include "installations/server_program.h"
#include "installations/trusted_program.h"

#include "tests/installations/ordinary_user.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <wx/utils.h>

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>

namespace {

struct Found
{
    wxString listText;
    std::unique_ptr<Server> server;
};

struct Discovery
{
    bool result = false;
    std::vector<Found> found;

    std::vector<wxString> Texts() const
    {
        std::vector<wxString> texts;
        for (const Found& f : found)
            texts.push_back(f.listText);
        return texts;
    }
};

Discovery Discover(const RegistryBackend& registry, const BitnessRule& oneViewBitness = nullptr)
{
    Discovery discovery;
    discovery.result = DiscoverInstallations(
        registry,
        [&discovery](const wxString& text, Server* server) {
            discovery.found.push_back({text, std::unique_ptr<Server>(server)});
        },
        oneViewBitness);
    return discovery;
}

std::string Fixture(const std::string& name)
{
    return SourceDir() + "/tests/installations/fixtures/" + name;
}

std::unique_ptr<RegFileRegistry> LoadFixture(const std::string& name, bool is64Bit)
{
    auto registry = std::make_unique<RegFileRegistry>(is64Bit);
    std::ostringstream warnings;
    EXPECT_TRUE(registry->LoadFile(wxString::FromUTF8(Fixture(name)), warnings));
    EXPECT_EQ(warnings.str(), "") << name;
    return registry;
}

void MakeDirectories(const std::string& path)
{
    ASSERT_EQ(RunProgram({"mkdir", "-p", path}).exitCode, 0) << path;
}

// A server program that leaves <path>.ran behind when it is run.
void WriteProgram(const std::string& path, const std::string& output)
{
    WriteFileBytes(path, "#!/bin/sh\ntouch \"$0.ran\"\necho '" + output + "'\n");
    chmod(path.c_str(), 0755);
}

bool HasRun(const std::string& program)
{
    return FileExists(program + ".ran");
}

// Every layout root inside a test's folder, where nothing is found until the test puts it there.
ServerLayouts LayoutsUnder(const std::string& folder)
{
    ServerLayouts layouts;
    layouts.debianConfigurationRoot = wxString::FromUTF8(folder + "/etc/postgresql");
    layouts.debianProgramRoot = wxString::FromUTF8(folder + "/usr/lib/postgresql");
    layouts.pgsqlRoot = wxString::FromUTF8(folder + "/var/lib/pgsql");
    layouts.versionedProgramPrefix = wxString::FromUTF8(folder + "/usr/pgsql-");
    layouts.archDataDirectory = wxString::FromUTF8(folder + "/var/lib/postgres/data");
    layouts.systemProgramFolder = wxString::FromUTF8(folder + "/usr/bin");
    layouts.processRoot = wxString::FromUTF8(folder + "/proc");
    return layouts;
}

// The identification bytes of an ELF header of the given class (1: 32-bit, 2: 64-bit), padded
// to the size of a 32-bit header.
std::string ElfHeader(char elfClass)
{
    std::string header = {'\x7f', 'E', 'L', 'F', elfClass, 1, 1};
    header.resize(52, '\0');
    return header;
}

} // namespace

TEST(DiscoveryTest, ListingCasesOfA32BitMachine)
{
    wxSetEnv(wxT("PELLORAN_FIXTURE_ROOT"), wxT("/srv/expanded"));
    const auto registry = LoadFixture("services_utf8.reg", false);
    const Discovery discovery = Discover(*registry);
    EXPECT_TRUE(discovery.result);
    const std::vector<wxString> expected = {
        wxT("PostgreSQL 8.4 on port 5432"),
        wxT("Unknown server on port 5433"),
        wxT(" on port 5434"),
        wxT("orvalis server 8.4 on port 5437"),
        wxT("PostgreSQL 8.4.1 on port 5445"),
        wxT("PostgreSQL 16 on port 5446"), // 16.1: from 10 on the second number is a patch level
        wxT("PostgreSQL 17 on port 5447"), // 17.0
    };
    EXPECT_EQ(discovery.Texts(), expected);
    ASSERT_EQ(discovery.found.size(), expected.size());

    const Server& first = *discovery.found[0].server;
    EXPECT_EQ(first.displayName, wxT("PostgreSQL 8.4"));
    EXPECT_EQ(first.port, 5432);
    EXPECT_EQ(first.dataDirectory, wxT("/srv/pgsql/8.4/data"));
    EXPECT_EQ(first.GetConfFilePath(), wxT("/srv/pgsql/8.4/data/postgresql.conf"));
    EXPECT_EQ(first.superuser, wxT("postgres"));
    EXPECT_EQ(first.serviceAccount, wxT("NT AUTHORITY\\NetworkService"));
    EXPECT_EQ(first.encoding, wxT("UTF8"));
    EXPECT_EQ(first.locale, wxT("English_United States.1252"));
    EXPECT_EQ(first.version, wxT("8.4"));
    EXPECT_EQ(first.versionNumber.major, 8);
    EXPECT_EQ(first.versionNumber.minor, 4);
    EXPECT_EQ(first.baseDirectory, wxT("C:\\Program Files\\PostgreSQL\\8.4"));
    EXPECT_EQ(first.bitness, wxT("32"));

    EXPECT_EQ(discovery.found[1].server->displayName, wxT("Unknown server"));
    EXPECT_EQ(discovery.found[2].server->displayName, wxT(""));

    const Server& patch = *discovery.found[4].server;
    EXPECT_EQ(patch.version, wxT("8.4.1"));
    EXPECT_EQ(patch.versionNumber.major, 8);
    EXPECT_EQ(patch.versionNumber.minor, 4);
    EXPECT_EQ(patch.dataDirectory, wxT("/srv/expanded/data")); // REG_EXPAND_SZ, expanded
    EXPECT_EQ(patch.serviceAccount, wxT("first\n\rsecond"));    // REG_MULTI_SZ, joined
    wxUnsetEnv(wxT("PELLORAN_FIXTURE_ROOT"));
}

TEST(DiscoveryTest, TwoViewsOfA64BitMachineFromARegistryEditorExport)
{
    wxSetEnv(wxT("PELLORAN_FIXTURE_ROOT"), wxT("C:\\Program Files (x86)\\PostgreSQL"));
    struct Case {
        const char* description;
        bool is64Bit;
        std::vector<wxString> texts;
        std::vector<wxString> bitness;
    };
    const Case cases[] = {
        {"64-bit system: the 32-bit view first, then the 64-bit view", true,
         {wxT("PostgreSQL 8.4 on port 5432"), wxT("PostgreSQL 9.0 (x64) on port 5433")},
         {wxT("32"), wxT("64")}},
        {"32-bit system: SOFTWARE read once", false, {wxT("PostgreSQL 9.0 on port 5433")}, {wxT("32")}},
    };
    for (const Case& c : cases) {
        const auto registry = LoadFixture("wow64_utf16.reg", c.is64Bit);
        const Discovery discovery = Discover(*registry);
        EXPECT_TRUE(discovery.result) << c.description;
        EXPECT_EQ(discovery.Texts(), c.texts) << c.description;
        for (size_t i = 0; i < discovery.found.size() && i < c.bitness.size(); ++i)
            EXPECT_EQ(discovery.found[i].server->bitness, c.bitness[i]) << c.description;
    }
    const auto registry = LoadFixture("wow64_utf16.reg", true);
    const Discovery discovery = Discover(*registry);
    ASSERT_EQ(discovery.found.size(), 2u);
    const Server& old = *discovery.found[0].server;
    EXPECT_EQ(old.dataDirectory, wxT("C:\\Program Files (x86)\\PostgreSQL\\8.4\\data"));
    EXPECT_EQ(old.baseDirectory, wxT("C:\\Program Files (x86)\\PostgreSQL\\8.4"));
    const Server& wide = *discovery.found[1].server;
    EXPECT_EQ(wide.locale.utf8_string(), "Fran\xC3\xA7" "ais_France.1252");
    EXPECT_EQ(wide.version, wxT("9.0"));
    wxUnsetEnv(wxT("PELLORAN_FIXTURE_ROOT"));
}

TEST(DiscoveryTest, NothingToList)
{
    const std::pair<const char*, std::string> cases[] = {
        {"empty registry", "Windows Registry Editor Version 5.00\r\n"},
        {"no services key", "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\"
                            "Installations\\x]\r\n\"Version\"=\"8.4\"\r\n"},
        {"services key without services", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Services]\r\n"},
        {"services of the current user only", "REGEDIT4\r\n[HKEY_CURRENT_USER\\SOFTWARE\\PostgreSQL\\Services\\a]\r\n"
                                              "\"Port\"=dword:00001538\r\n"},
    };
    for (const auto& [description, text] : cases) {
        for (bool is64Bit : {false, true}) {
            RegFileRegistry registry(is64Bit);
            std::ostringstream warnings;
            registry.LoadText(text, wxT("x.reg"), warnings);
            const Discovery discovery = Discover(registry);
            EXPECT_FALSE(discovery.result) << description;
            EXPECT_TRUE(discovery.found.empty()) << description;
        }
    }
}

TEST(DiscoveryTest, VersionsThatAreListed)
{
    const std::pair<const char*, bool> cases[] = {
        {"7.4", false}, {"8.0", false}, {"8.1", false}, {"8.2", true}, {"8.3", true},   {"8.4", true},
        {"8.4.1", true}, {"9.0", true}, {"9.0.23", true}, {"9.1", false}, {"9.2", true}, {"9.6", true},
        {"10.0", true}, {"10.1", true}, {"10.2", true}, {"15.18", true}, {"15", true}, {"16.1", true},
        {"17.0", true}, {"17.1", true}, {"18.0", true}, {"", false}, {"beta", false},
    };
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    int port = 6000;
    for (const auto& [version, listed] : cases) {
        const std::string code = std::to_string(port);
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Services\\s" + code + "]\r\n"
                "\"Display Name\"=\"v" + version + "\"\r\n\"Port\"=dword:0000" + wxString::Format("%04x", port).ToStdString() +
                "\r\n\"Data Directory\"=\"/d\"\r\n\"Database Superuser\"=\"postgres\"\r\n\"Product Code\"=\"" + code +
                "\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Installations\\" + code + "]\r\n\"Version\"=\"" +
                version + "\"\r\n";
        ++port;
    }
    RegFileRegistry registry;
    std::ostringstream warnings;
    registry.LoadText(text, wxT("versions.reg"), warnings);
    EXPECT_EQ(warnings.str(), "");
    const Discovery discovery = Discover(registry);
    std::vector<wxString> listed;
    for (const Found& f : discovery.found)
        listed.push_back(f.server->displayName);
    std::vector<wxString> expected;
    for (const auto& [version, isListed] : cases)
        if (isListed)
            expected.push_back(wxT("v") + wxString(version));
    EXPECT_EQ(listed, expected);
}

// This machine's own cluster, as packaged, with no registry given.
TEST(DiscoveryTest, ThisMachinesCluster)
{
    const std::string conf = "/etc/postgresql/15/main/postgresql.conf";
    if (!FileExists(conf))
        GTEST_SKIP() << conf << " is missing (the postgresql-15 package creates it; `pg_createcluster 15 main` as root)";
    unsetenv("PELLORAN_REGISTRY");
    std::vector<std::pair<wxString, std::unique_ptr<Server>>> found;
    const bool result = DiscoverInstallations([&found](const wxString& text, Server* server) {
        found.emplace_back(text, std::unique_ptr<Server>(server));
    });
    EXPECT_TRUE(result);
    const ProgramResult version = RunProgram({"/usr/lib/postgresql/15/bin/postgres", "--version"});
    Server* main = nullptr;
    for (const auto& [text, server] : found)
        if (server->GetConfFilePath() == wxString(conf)) {
            EXPECT_EQ(text, wxT("PostgreSQL 15 (main) on port 5432"));
            main = server.get();
        }
    ASSERT_TRUE(main) << "the cluster of " << conf << " is not listed";
    EXPECT_EQ(main->displayName, wxT("PostgreSQL 15 (main)"));
    EXPECT_EQ(main->dataDirectory, wxT("/etc/postgresql/15/main"));
    EXPECT_EQ(main->superuser, wxT("postgres"));
    EXPECT_EQ(main->serviceAccount, wxT("postgres"));
    EXPECT_EQ(main->baseDirectory, wxT("/usr/lib/postgresql/15"));
    EXPECT_EQ(main->versionNumber.major, 15);
    EXPECT_EQ(main->bitness, wxT("64")); // the ELF class of the packaged 64-bit program
    EXPECT_NE(version.standardOutput.find(" " + main->version.ToStdString() + " "), std::string::npos)
        << version.standardOutput << " against " << main->version;
    EXPECT_TRUE(main->CheckConfAccess());
}

TEST(DiscoveryTest, PackagedLayoutsFromGivenRoots)
{
    TempDir folder;
    const ServerLayouts layouts = LayoutsUnder(folder.path());
    const std::string etc = folder.file("etc/postgresql");
    const std::string lib = folder.file("usr/lib/postgresql");
    const std::string data = folder.file("data");
    const std::string pgsql = folder.file("var/lib/pgsql");
    const std::string arch = folder.file("var/lib/postgres/data");
    for (const char* path : {"/9.6/main/conf.d", "/15/main", "/15/replica", "/15/broken", "/15/no-conf", "/notes",
                             "/13/old"})
        MakeDirectories(etc + path);
    for (const char* path : {"/9.6/bin", "/15/bin"})
        MakeDirectories(lib + path);
    MakeDirectories(data + "/replica");
    WriteProgram(lib + "/9.6/bin/postgres", "postgres (PostgreSQL) 9.6.24");
    WriteProgram(lib + "/15/bin/postgres", "postgres (PostgreSQL) 15.4 (Debian 15.4-1)");
    WriteFileBytes(etc + "/9.6/main/postgresql.conf",
                   "port = 5432\t# overridden below\ninclude_dir = 'conf.d'\n");
    WriteFileBytes(etc + "/9.6/main/conf.d/10-port.conf", "port=5499\n");
    WriteFileBytes(etc + "/9.6/main/conf.d/.hidden.conf", "port=1\n");
    WriteFileBytes(etc + "/15/main/postgresql.conf", "# port = 6000\nshared_buffers = 128MB\n");
    WriteFileBytes(etc + "/15/replica/postgresql.conf",
                   "data_directory = '" + data + "/replica'\nPORT '5433'\ninclude_if_exists 'missing.conf'\n");
    WriteFileBytes(etc + "/15/broken/postgresql.conf", "port = fifty\n");
    WriteFileBytes(etc + "/13/old/postgresql.conf", "port = 5440\n"); // no programs installed
    // The Red Hat family: PGDG's 15 (initdb's choices in its log) and 12 without programs, the
    // distribution's own cluster; then Arch's, with the same system program.
    for (const std::string& path : {pgsql + "/15/data", pgsql + "/12/data", pgsql + "/data", arch,
                                    folder.file("usr/pgsql-15/bin"), folder.file("usr/bin")})
        MakeDirectories(path);
    WriteProgram(folder.file("usr/pgsql-15/bin/postgres"), "postgres (PostgreSQL) 15.8");
    WriteProgram(folder.file("usr/bin/postgres"), "postgres (PostgreSQL) 13.16");
    WriteFileBytes(pgsql + "/15/data/PG_VERSION", "15\n");
    WriteFileBytes(pgsql + "/15/data/postgresql.conf", "port = 5444\nlc_messages = 'en_US.UTF-8'\n");
    WriteFileBytes(pgsql + "/15/data/postgresql.auto.conf", "port = '5445'\n"); // ALTER SYSTEM wins
    WriteFileBytes(pgsql + "/15/initdb.log",
                   "The database cluster will be initialized with locale \"de_DE.UTF-8\".\n"
                   "The default database encoding has accordingly been set to \"UTF8\".\n");
    WriteFileBytes(pgsql + "/12/data/PG_VERSION", "12\n");
    WriteFileBytes(pgsql + "/12/data/postgresql.conf", "");
    WriteFileBytes(pgsql + "/data/PG_VERSION", "13\n");
    WriteFileBytes(pgsql + "/data/postgresql.conf", "lc_messages = 'C'\n");
    WriteFileBytes(pgsql + "/initdb_postgresql.log", "The default database encoding has been set to \"LATIN1\".\n");
    WriteFileBytes(arch + "/PG_VERSION", "13\n");
    WriteFileBytes(arch + "/postgresql.conf", "port = 5450\n");
    OrdinaryUser user;
    std::string reason;
    const bool haveUser = GetOrdinaryUser(user, reason);
    if (haveUser)
        RunProgram({"chown", user.name, data + "/replica"});

    RegFileRegistry registry;
    std::ostringstream warnings;
    AddInstalledServers(registry, layouts, warnings);
    EXPECT_EQ(warnings.str(), "");
    const Discovery discovery = Discover(registry);
    const std::vector<wxString> expected = {
        wxT("PostgreSQL 9.6 (main) on port 5499"),
        wxT("PostgreSQL 15 (main) on port 5432"),
        wxT("PostgreSQL 15 (replica) on port 5433"),
        wxString::FromUTF8("PostgreSQL 15 (" + pgsql + "/15/data) on port 5445"),
        wxString::FromUTF8("PostgreSQL 13 (" + pgsql + "/data) on port 5432"),
        wxString::FromUTF8("PostgreSQL 13 (" + arch + ") on port 5450"),
    };
    EXPECT_EQ(discovery.Texts(), expected);
    ASSERT_EQ(discovery.found.size(), expected.size());
    // Everyone may write under /tmp: the programs there are never run, and the versions come
    // from the layouts' folders and the data directories' PG_VERSION.
    for (const std::string& program : {lib + "/9.6/bin/postgres", lib + "/15/bin/postgres",
                                       folder.file("usr/pgsql-15/bin/postgres"), folder.file("usr/bin/postgres")})
        EXPECT_FALSE(HasRun(program)) << program;
    const Server& old = *discovery.found[0].server;
    EXPECT_EQ(old.version, wxT("9.6"));
    EXPECT_EQ(old.baseDirectory, wxString::FromUTF8(lib + "/9.6"));
    EXPECT_EQ(old.GetConfFilePath(), wxString::FromUTF8(etc + "/9.6/main/postgresql.conf"));
    const Server& replica = *discovery.found[2].server;
    EXPECT_EQ(replica.version, wxT("15"));
    EXPECT_EQ(replica.dataDirectory, wxString::FromUTF8(etc + "/15/replica"));
    if (haveUser) {
        EXPECT_EQ(replica.serviceAccount, wxString(user.name));
        EXPECT_EQ(replica.superuser, wxString(user.name)); // initdb's account owns the data
    }

    struct Layout {
        const char* description;
        wxString confFile, baseDirectory, version, encoding, locale;
    };
    const Layout layoutCases[] = {
        {"PGDG", wxString::FromUTF8(pgsql + "/15/data/postgresql.conf"), wxString::FromUTF8(folder.file("usr/pgsql-15")),
         wxT("15"), wxT("UTF8"), wxT("de_DE.UTF-8")},
        {"the distribution's own", wxString::FromUTF8(pgsql + "/data/postgresql.conf"), wxString::FromUTF8(folder.file("usr")),
         wxT("13"), wxT("LATIN1"), wxT("C")},
        {"Arch", wxString::FromUTF8(arch + "/postgresql.conf"), wxString::FromUTF8(folder.file("usr")), wxT("13"),
         wxT(""), wxT("")},
    };
    for (size_t i = 0; i < std::size(layoutCases); ++i) {
        const Layout& c = layoutCases[i];
        const Server& found = *discovery.found[3 + i].server;
        EXPECT_EQ(found.GetConfFilePath(), c.confFile) << c.description;
        EXPECT_EQ(found.baseDirectory, c.baseDirectory) << c.description;
        EXPECT_EQ(found.version, c.version) << c.description;
        EXPECT_EQ(found.encoding, c.encoding) << c.description;
        EXPECT_EQ(found.locale, c.locale) << c.description;
        EXPECT_EQ(found.superuser, wxString(getpwuid(geteuid())->pw_name)) << c.description;
    }

    // The cluster with a port the server would refuse and the version without programs are
    // presented but not listed.
    const auto broken = OpenRegistryKey(registry, RegistryRoot::localMachine,
                                        wxT("SOFTWARE\\PostgreSQL\\Services\\postgresql@15-broken"), false, 0);
    ASSERT_TRUE(broken);
    std::uint32_t port = 0;
    EXPECT_FALSE(broken->QueryDword(wxT("Port"), port));
    const auto old13 = OpenRegistryKey(registry, RegistryRoot::localMachine,
                                       wxT("SOFTWARE\\PostgreSQL\\Installations\\postgresql-13"), false, 0);
    ASSERT_TRUE(old13);
    wxString version;
    EXPECT_FALSE(old13->QueryString(wxT("Version"), version));
}

TEST(DiscoveryTest, WhereTheMachineRegistryComesFrom)
{
    TempDir folder;
    const std::string etc = folder.file("etc/postgresql");
    const std::string lib = folder.file("usr/lib/postgresql");
    MakeDirectories(etc + "/15/main");
    MakeDirectories(etc + "/15/test");
    MakeDirectories(lib + "/15/bin");
    WriteFileBytes(etc + "/15/main/postgresql.conf", "port = 5432\n");
    WriteFileBytes(etc + "/15/test/postgresql.conf", "port = 5433\n");
    WriteProgram(lib + "/15/bin/postgres", "postgres (PostgreSQL) 15.18");
    const std::string service = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Services\\";
    const std::string installation = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Installations\\";
    const std::string handMade = "\"Port\"=dword:00002000\r\n\"Data Directory\"=\"/srv/hand\"\r\n"
                                 "\"Database Superuser\"=\"admin\"\r\n\"Product Code\"=\"hand\"\r\n" +
                                 installation + "hand]\r\n\"Version\"=\"14.2\"\r\n";

    MakeDirectories(folder.file("registry.d"));
    WriteFileBytes(folder.file("registry.d/20-hand.reg"),
                   "REGEDIT4\r\n" + service + "hand]\r\n\"Display Name\"=\"By hand\"\r\n" + handMade);
    // Hides a packaged cluster.
    WriteFileBytes(folder.file("registry.d/10-hide.reg"),
                   "REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Services\\postgresql@15-test]\r\n");
    WriteFileBytes(folder.file("registry.d/notes.txt"), "not read\r\n");
    MakeDirectories(folder.file("override"));
    WriteFileBytes(folder.file("override/b.reg"),
                   "REGEDIT4\r\n" + service + "hand]\r\n\"Display Name\"=\"Second file\"\r\n");
    WriteFileBytes(folder.file("override/a.reg"),
                   "REGEDIT4\r\n" + service + "hand]\r\n\"Display Name\"=\"First file\"\r\n" + handMade);

    struct Case {
        const char* description;
        std::string override;
        std::string registryFolder;
        std::vector<wxString> expected;
        std::string warnings;
    };
    const Case cases[] = {
        {"packaged clusters, then the folder's files", "", folder.file("registry.d"),
         {wxT("PostgreSQL 15 (main) on port 5432"), wxT("By hand on port 8192")}, ""},
        {"no folder: packaged clusters only", "", folder.file("missing"),
         {wxT("PostgreSQL 15 (main) on port 5432"), wxT("PostgreSQL 15 (test) on port 5433")}, ""},
        {"a file is the whole registry", folder.file("registry.d/20-hand.reg"), folder.file("registry.d"),
         {wxT("By hand on port 8192")}, ""},
        {"a folder is the whole registry, files in name order", folder.file("override"), "",
         {wxT("Second file on port 8192")}, ""},
        {"a missing file is an empty registry", folder.file("missing.reg"), "", {},
         folder.file("missing.reg") + ": cannot be read\n"},
    };
    for (const Case& c : cases) {
        MachineRegistrySources sources;
        sources.override = wxString::FromUTF8(c.override);
        sources.folder = wxString::FromUTF8(c.registryFolder);
        sources.layouts = LayoutsUnder(folder.path());
        std::ostringstream warnings;
        const auto registry = LoadMachineRegistry(sources, warnings);
        EXPECT_EQ(Discover(*registry).Texts(), c.expected) << c.description;
        EXPECT_EQ(warnings.str(), c.warnings) << c.description;
    }
}

// The bitness of a record without registry views comes from its server program's ELF header.
TEST(DiscoveryTest, WordSizeOfServerPrograms)
{
    TempDir folder;
    const ServerLayouts layouts = LayoutsUnder(folder.path());
    const std::string lib = folder.file("usr/lib/postgresql");
    MakeDirectories(lib + "/9.6/bin");
    MakeDirectories(lib + "/15/bin");
    MakeDirectories(folder.file("etc/postgresql/9.6/main"));
    MakeDirectories(folder.file("data"));
    MakeDirectories(folder.file("nothing"));
    WriteFileBytes(lib + "/9.6/bin/postgres", ElfHeader(1));
    chmod((lib + "/9.6/bin/postgres").c_str(), 0755);
    WriteFileBytes(lib + "/15/bin/postgres", ElfHeader(2));
    chmod((lib + "/15/bin/postgres").c_str(), 0755);
    WriteFileBytes(folder.file("data/PG_VERSION"), "9.6\n");
    WriteFileBytes(folder.file("script"), "#!/bin/sh\n");
    const wxString machine = MachineWordSize();
    EXPECT_EQ(machine, sizeof(void*) == 8 ? wxT("64") : wxT("32"));

    const struct {
        std::string program;
        const wxChar* wordSize;
        wxString bitness;
    } programs[] = {
        {lib + "/9.6/bin/postgres", wxT("32"), wxT("32")},
        {"/usr/lib/postgresql/15/bin/postgres", wxT("64"), wxT("64")},
        {folder.file("script"), wxT(""), machine},
        {folder.file("missing"), wxT(""), machine},
    };
    for (const auto& c : programs) {
        if (!FileExists(c.program) && c.program.rfind("/usr/", 0) == 0)
            continue; // the packaged program is only there with postgresql-15
        EXPECT_EQ(ProgramWordSize(wxString::FromUTF8(c.program)), c.wordSize) << c.program;
        EXPECT_EQ(ServerBitness(wxString::FromUTF8(c.program)), c.bitness) << c.program;
    }

    Server installed;
    installed.baseDirectory = wxString::FromUTF8(lib + "/9.6");
    EXPECT_EQ(InstalledServerBitness(installed), wxT("32"));

    // A hand-chosen file: a data directory's PG_VERSION or a packaged configuration folder names
    // the version, whose packaged program gives the bitness.
    const struct {
        std::string confFile;
        const wxChar* version;
        std::string program;
        wxString bitness;
    } chosen[] = {
        {folder.file("data/postgresql.conf"), wxT("9.6"), lib + "/9.6/bin/postgres", wxT("32")},
        {folder.file("etc/postgresql/9.6/main/postgresql.conf"), wxT("9.6"), lib + "/9.6/bin/postgres", wxT("32")},
        {folder.file("nothing/postgresql.conf"), wxT(""), "", machine},
    };
    for (const auto& c : chosen) {
        const ConfFileServer found = FindConfFileServer(wxString::FromUTF8(c.confFile), layouts);
        EXPECT_EQ(found.version, c.version) << c.confFile;
        EXPECT_EQ(found.program, wxString::FromUTF8(c.program)) << c.confFile;
        EXPECT_EQ(ConfFileBitness(wxString::FromUTF8(c.confFile), layouts), c.bitness) << c.confFile;
    }
}

// A server started from any folder is listed while it runs, once, with the port it runs on,
// also when a packaged layout names the same data directory.
TEST(DiscoveryTest, RunningServers)
{
    const std::string bin = "/usr/lib/postgresql/15/bin/";
    if (!FileExists(bin + "initdb") || !FileExists(bin + "pg_ctl"))
        GTEST_SKIP() << "PostgreSQL 15 is not installed (package postgresql-15)";
    TempDir folder;
    chmod(folder.path().c_str(), 0755);
    const std::string data = folder.file("data");
    const std::string sockets = folder.file("sockets");
    MakeDirectories(data);
    MakeDirectories(sockets);
    std::vector<std::string> asUser;
    OrdinaryUser user;
    if (geteuid() == 0) {
        std::string reason;
        if (!GetOrdinaryUser(user, reason))
            GTEST_SKIP() << reason;
        RunProgram({"chown", user.name, data, sockets});
        asUser = AsUser(user, {});
    }
    auto run = [&asUser](std::vector<std::string> command) {
        command.insert(command.begin(), asUser.begin(), asUser.end());
        ProgramOptions options;
        options.timeoutSeconds = 120;
        options.environment["LC_ALL"] = "C";
        return RunProgram(command, options);
    };
    const ProgramResult init =
        run({bin + "initdb", "-D", data, "-A", "trust", "--no-sync", "--no-instructions", "--locale=C"});
    ASSERT_EQ(init.exitCode, 0) << init.standardError;
    // No TCP listener: the port only names the socket in the test's folder, so any will do.
    const int port = 20000 + getpid() % 20000;
    WriteFileBytes(data + "/postgresql.auto.conf", "port = 5432\nlisten_addresses = ''\nunix_socket_directories = '" +
                                                       sockets + "'\n");
    const ProgramResult start =
        run({bin + "pg_ctl", "start", "-w", "-D", data, "-l", folder.file("sockets/log"), "-o", "-p " + std::to_string(port)});
    ASSERT_EQ(start.exitCode, 0) << start.standardOutput << start.standardError;
    struct Stop {
        std::function<void()> stop;
        ~Stop() { stop(); }
    } stopAtEnd{[&] { run({bin + "pg_ctl", "stop", "-m", "immediate", "-D", data}); }};

    ServerLayouts layouts = LayoutsUnder(folder.path());
    layouts.processRoot = wxT("/proc");
    layouts.debianProgramRoot = wxT("/usr/lib/postgresql");
    // Packaged clusters of the Debian layout, their folders owned by the server's account as
    // the database account owns them: one of another data directory, one of the same.
    const std::string other = folder.file("other-layout/15/other");
    const std::string same = folder.file("same-layout/15/test");
    MakeDirectories(other);
    MakeDirectories(same);
    WriteFileBytes(other + "/postgresql.conf", "data_directory = '" + folder.file("other") + "'\nport = 5498\n");
    WriteFileBytes(same + "/postgresql.conf", "data_directory = '" + data + "'\nport = 5499\n");
    if (!asUser.empty())
        RunProgram({"chown", "-R", user.name, folder.file("other-layout"), folder.file("same-layout")});

    const wxString listed = wxString::Format(wxT("PostgreSQL 15 (%s) on port %d"), wxString::FromUTF8(data), port);
    const wxString packagedListed = wxString::Format(wxT("PostgreSQL 15 (test) on port %d"), port);
    const wxString confFile = wxString::FromUTF8(data + "/postgresql.conf");
    const struct {
        const char* description;
        std::string layoutRoot;
        wxString expected; // empty: not listed
    } cases[] = {
        {"an account that no packaged layout names is left out", folder.file("missing"), wxString()},
        {"the database account of a packaged layout", folder.file("other-layout"), listed},
        {"the packaged cluster of the same data directory", folder.file("same-layout"), packagedListed},
    };
    for (const auto& c : cases) {
        layouts.debianConfigurationRoot = wxString::FromUTF8(c.layoutRoot);
        RegFileRegistry registry;
        std::ostringstream warnings;
        AddInstalledServers(registry, layouts, warnings);
        EXPECT_EQ(warnings.str(), "") << c.description;
        const Discovery discovery = Discover(registry, InstalledServerBitness);
        int seen = 0;
        for (const Found& f : discovery.found) {
            if (f.listText != listed && f.listText != packagedListed)
                continue;
            ++seen;
            const Server& server = *f.server;
            EXPECT_EQ(f.listText, c.expected) << c.description;
            EXPECT_EQ(server.port, port);
            EXPECT_EQ(server.versionNumber.major, 15);
            EXPECT_TRUE(server.version.StartsWith(wxT("15."))) << server.version << ": the packaged program, run";
            EXPECT_EQ(server.baseDirectory, wxT("/usr/lib/postgresql/15"));
            EXPECT_EQ(server.bitness, wxT("64"));
            if (c.expected == listed) {
                EXPECT_EQ(server.GetConfFilePath(), confFile);
                EXPECT_EQ(server.locale, wxT("C")); // initdb --locale=C
            }
        }
        EXPECT_EQ(seen, c.expected.empty() ? 0 : 1) << c.description;
    }
}

namespace {

// A folder under /run, which only root may write, unlike /tmp where every test folder is.
struct RootFolder
{
    std::string path;
    RootFolder()
    {
        char name[] = "/run/pelloran-discovery-XXXXXX";
        if (mkdtemp(name)) {
            path = name;
            chmod(name, 0755);
        }
    }
    ~RootFolder()
    {
        if (!path.empty())
            RunProgram({"rm", "-rf", path});
    }
};

// A process started in the background, killed at the end of the test.
struct Background
{
    pid_t pid = -1;
    explicit Background(const std::vector<std::string>& command)
    {
        std::vector<char*> argv;
        for (const std::string& argument : command)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid = -1;
    }
    ~Background()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Waits until the process has become `name` and `ready` holds.
    bool WaitFor(const std::string& name, const std::function<bool()>& ready) const
    {
        for (int i = 0; i < 500; ++i) {
            if (pid > 0 && ReadFileBytes("/proc/" + std::to_string(pid) + "/comm") == name + "\n" && ready())
                return true;
            usleep(10000);
        }
        return false;
    }
};

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long MaximumResidentKiB()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

// Root runs an installation's program only when no other account could have replaced it: the
// file and every folder above it root's and writable by no one else. Otherwise the layout
// tells the version, and the program is not started.
TEST(DiscoveryTest, ProgramsThatAreRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the trusted folders and the other account's files need root";
    OrdinaryUser user;
    std::string reason;
    if (!GetOrdinaryUser(user, reason))
        GTEST_SKIP() << reason;
    RootFolder root;
    ASSERT_FALSE(root.path.empty());
    TempDir open;
    const ServerLayouts layouts = LayoutsUnder(root.path);
    const std::string etc = root.path + "/etc/postgresql/";
    const std::string lib = root.path + "/usr/lib/postgresql/";
    const struct {
        const char* description;
        std::string version;
        std::string reported;
        std::vector<std::string> change; // run on the program's folder set-up; "%p" is the program
        bool run;
    } cases[] = {
        {"a program whose every folder is root's", "16", "16.1", {}, true},
        {"the same, of another major version", "17", "17.0", {}, true},
        {"a program its group may write", "14", "14.9", {"chmod", "g+w", "%p"}, false},
        {"a folder its group may write", "13", "13.2", {"chmod", "g+w", lib + "13/bin"}, false},
        {"a program of another account", "12", "12.3", {"chown", user.name, "%p"}, false},
        {"a folder of another account", "11", "11.4", {"chown", user.name, lib + "11"}, false},
        {"an access list lets another account write", "9.6", "9.6.24", {"setfacl", "-m", "u:" + user.name + ":rwx", "%p"},
         false},
        {"a link to a program in a folder everyone may write", "10", "10.23", {"ln", "-sf", open.file("postgres"), "%p"},
         false},
    };
    WriteProgram(open.file("postgres"), "postgres (PostgreSQL) 10.23");
    for (const auto& c : cases) {
        MakeDirectories(etc + c.version + "/main");
        MakeDirectories(lib + c.version + "/bin");
        WriteFileBytes(etc + c.version + "/main/postgresql.conf", "");
        const std::string program = lib + c.version + "/bin/postgres";
        WriteProgram(program, "postgres (PostgreSQL) " + c.reported);
        std::vector<std::string> change = c.change;
        for (std::string& word : change)
            if (word == "%p")
                word = program;
        if (!change.empty()) {
            ASSERT_EQ(RunProgram(change).exitCode, 0) << c.description;
        }
    }
    RegFileRegistry registry;
    std::ostringstream warnings;
    AddInstalledServers(registry, layouts, warnings);
    EXPECT_EQ(warnings.str(), "");
    const Discovery discovery = Discover(registry);
    for (const auto& c : cases) {
        const std::string program = lib + c.version + "/bin/postgres";
        const std::string ran = c.version == "10" ? open.file("postgres") : program;
        EXPECT_EQ(HasRun(ran), c.run) << c.description;
        const wxString text = wxString::FromUTF8("PostgreSQL " + c.version + " (main) on port 5432");
        const auto found = std::find_if(discovery.found.begin(), discovery.found.end(),
                                        [&text](const Found& f) { return f.listText == text; });
        ASSERT_NE(found, discovery.found.end()) << c.description;
        EXPECT_EQ(found->server->version, wxString::FromUTF8(c.run ? c.reported : c.version)) << c.description;
    }
    // A link is run as the file it names, once that file passes.
    const std::string link = open.file("link");
    ASSERT_EQ(symlink((lib + "16/bin/postgres").c_str(), link.c_str()), 0);
    EXPECT_EQ(TrustedProgramPath(wxString::FromUTF8(link)), wxString::FromUTF8(lib + "16/bin/postgres"));
    EXPECT_EQ(TrustedProgramPath(wxString::FromUTF8(open.file("postgres"))), wxString());
}

// An ordinary account starts a program called postgres in a folder of its own, with a
// postmaster.pid naming it, as a real server would be found. Its files are hostile too.
TEST(DiscoveryTest, ServersOfOtherAccounts)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "starting a program as another account needs root";
    OrdinaryUser user;
    std::string reason;
    if (!GetOrdinaryUser(user, reason))
        GTEST_SKIP() << reason;
    const struct {
        const char* description;
        bool databaseAccount; // the account owns a packaged cluster's folder
        std::string pidFile;  // "fifo", or written by the program itself
        std::string confFile; // "fifo", "zero" (a link to /dev/zero), or its text
        bool listed;
        std::string warning; // after the data directory's path
    } cases[] = {
        {"an ordinary account's program", false, "", "port = 5433\n", false, ""},
        {"the database account's program of its own", true, "", "port = 5433\n", true, ""},
        {"postmaster.pid a FIFO", true, "fifo", "port = 5433\n", false, "/postmaster.pid: It is not a regular file.\n"},
        {"postgresql.conf a FIFO", true, "", "fifo", true, "/postgresql.conf: It is not a regular file.\n"},
        {"postgresql.conf a link to /dev/zero", true, "", "zero", true,
         "/postgresql.conf: It is a symbolic link, which is not followed.\n"},
    };
    for (const auto& c : cases) {
        TempDir folder;
        chmod(folder.path().c_str(), 0755);
        const std::string attacker = folder.file("attacker");
        const std::string data = attacker + "/data";
        MakeDirectories(data);
        MakeDirectories(attacker + "/sbin");
        MakeDirectories(attacker + "/bin");
        // The running program is a copy of the shell; the one beside it that discovery would
        // once have run for its version leaves a mark.
        ASSERT_EQ(RunProgram({"cp", "/bin/sh", attacker + "/sbin/postgres"}).exitCode, 0);
        WriteProgram(attacker + "/bin/postgres", "postgres (PostgreSQL) 15.1");
        WriteFileBytes(data + "/PG_VERSION", "15\n");
        if (c.pidFile == "fifo") {
            ASSERT_EQ(mkfifo((data + "/postmaster.pid").c_str(), 0600), 0);
        }
        if (c.confFile == "fifo") {
            ASSERT_EQ(mkfifo((data + "/postgresql.conf").c_str(), 0600), 0);
        } else if (c.confFile == "zero") {
            ASSERT_EQ(symlink("/dev/zero", (data + "/postgresql.conf").c_str()), 0);
        } else {
            WriteFileBytes(data + "/postgresql.conf", c.confFile);
        }
        const std::string packaged = folder.file("var/lib/pgsql/15/data");
        MakeDirectories(packaged);
        WriteFileBytes(packaged + "/postgresql.conf", "");
        ASSERT_EQ(RunProgram({"chown", "-hR", user.name, attacker}).exitCode, 0);
        if (c.databaseAccount) {
            ASSERT_EQ(RunProgram({"chown", user.name, packaged}).exitCode, 0);
        }

        const Background fake(AsUser(
            user, {"/bin/sh", "-c",
                   "cd '" + data + "' && exec ../sbin/postgres -c '[ -p postmaster.pid ] || printf \"%s\\n%s\\n0\\n5433\\n\" "
                   "$$ \"$PWD\" > postmaster.pid; while :; do sleep 1; done'"}));
        // Until the program has written its postmaster.pid whole (a FIFO is never read here).
        ASSERT_TRUE(fake.WaitFor("postgres", [&] {
            const std::string pidFile = data + "/postmaster.pid";
            return c.pidFile == "fifo"
                   || (FileExists(pidFile) && ReadFileBytes(pidFile).find("5433\n") != std::string::npos);
        })) << c.description;

        ServerLayouts layouts = LayoutsUnder(folder.path());
        layouts.processRoot = wxT("/proc");
        RegFileRegistry registry;
        std::ostringstream warnings;
        const auto start = std::chrono::steady_clock::now();
        AddInstalledServers(registry, layouts, warnings);
        const double seconds = SecondsSince(start);
        EXPECT_LT(seconds, 5.0) << c.description;
        std::printf("%s: discovery in %.3f s\n", c.description, seconds);
        EXPECT_EQ(warnings.str(), c.warning.empty() ? "" : data + c.warning) << c.description;
        EXPECT_FALSE(HasRun(attacker + "/bin/postgres")) << c.description;

        std::vector<wxString> texts;
        for (const wxString& text : Discover(registry).Texts())
            if (text.Contains(wxString::FromUTF8(attacker)))
                texts.push_back(text);
        std::vector<wxString> expected;
        if (c.listed) // the version from PG_VERSION, its program not run
            expected.push_back(wxString::FromUTF8("PostgreSQL 15 (" + data + ") on port 5433"));
        EXPECT_EQ(texts, expected) << c.description;
    }
}

// Configuration files that would hold discovery or fill the memory: a FIFO and /dev/zero
// included, a huge sparse file, include lines that include their own file.
TEST(DiscoveryTest, HostileConfigurationFiles)
{
    TempDir folder;
    const ServerLayouts layouts = LayoutsUnder(folder.path());
    const std::string etc = folder.file("etc/postgresql/15/");
    for (const char* name : {"loop", "pipe", "sparse", "zero"})
        MakeDirectories(etc + name);
    MakeDirectories(folder.file("usr/lib/postgresql/15/bin"));
    WriteProgram(folder.file("usr/lib/postgresql/15/bin/postgres"), "postgres (PostgreSQL) 15.4");
    std::string loop = "port = 5504\n";
    for (int i = 0; i < 10; ++i)
        loop += "include 'postgresql.conf'\n";
    WriteFileBytes(etc + "loop/postgresql.conf", loop);
    WriteFileBytes(etc + "pipe/postgresql.conf", "port = 5501\ninclude 'pipe.conf'\n");
    ASSERT_EQ(mkfifo((etc + "pipe/pipe.conf").c_str(), 0600), 0);
    ASSERT_EQ(RunProgram({"truncate", "-s", "1G", etc + "sparse/postgresql.conf"}).exitCode, 0);
    WriteFileBytes(etc + "zero/postgresql.conf", "port = 5502\ninclude 'zero.conf'\n");
    ASSERT_EQ(symlink("/dev/zero", (etc + "zero/zero.conf").c_str()), 0);

    RegFileRegistry registry;
    std::ostringstream warnings;
    const long memoryBefore = MaximumResidentKiB();
    const auto start = std::chrono::steady_clock::now();
    AddInstalledServers(registry, layouts, warnings);
    const double seconds = SecondsSince(start);
    const long grownKiB = MaximumResidentKiB() - memoryBefore;
    std::printf("hostile configuration files: discovery in %.3f s, peak memory grown by %ld KiB\n", seconds, grownKiB);
    EXPECT_LT(seconds, 5.0);
    EXPECT_LT(grownKiB, 64 * 1024);
    EXPECT_EQ(warnings.str(),
              etc + "loop/postgresql.conf: more than 64 configuration files are included; it and the rest are not read\n" +
              etc + "pipe/pipe.conf: It is not a regular file.\n" +
              etc + "sparse/postgresql.conf: It is larger than 4 MiB, more than any configuration file holds; it is not read.\n" +
              etc + "zero/zero.conf: It is a symbolic link, which is not followed.\n");
    const std::vector<wxString> expected = {
        wxT("PostgreSQL 15 (loop) on port 5504"),
        wxT("PostgreSQL 15 (pipe) on port 5501"),
        wxT("PostgreSQL 15 (sparse) on port 5432"),
        wxT("PostgreSQL 15 (zero) on port 5502"),
    };
    EXPECT_EQ(Discover(registry).Texts(), expected);
}
