// The PostgreSQL server program behind an installation or a configuration file, and what can
// be learnt from it without starting a server: its word size and its version.
#pragma once

#include <wx/string.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Where this machine's packaged PostgreSQL layouts keep their clusters and programs; every
// root can be moved for tests.
struct ServerLayouts
{
    // Debian: <configurationRoot>/<version>/<cluster>/postgresql.conf, <programRoot>/<version>/bin.
    wxString debianConfigurationRoot = wxT("/etc/postgresql");
    wxString debianProgramRoot = wxT("/usr/lib/postgresql");
    // Red Hat family: <pgsqlRoot>/<version>/data with <versionedProgramPrefix><version>/bin
    // (PGDG packages), and <pgsqlRoot>/data with the system's program (the distributions' own).
    wxString pgsqlRoot = wxT("/var/lib/pgsql");
    wxString versionedProgramPrefix = wxT("/usr/pgsql-");
    // Arch: one data directory, the system's program.
    wxString archDataDirectory = wxT("/var/lib/postgres/data");
    wxString systemProgramFolder = wxT("/usr/bin");
    // Running servers are found through the processes of this tree.
    wxString processRoot = wxT("/proc");
};

// "64" or "32" from a program file's header (ELF here, PE on Windows); empty when it is not a
// program of this platform.
wxString ProgramWordSize(const wxString& program);
// "64" or "32": the word size of this machine.
wxString MachineWordSize();
// A record's bitness for a server program: the program's word size, this machine's when the
// program cannot be read.
wxString ServerBitness(const wxString& program);

// The version a server program reports ("15.18" from "postgres (PostgreSQL) 15.18 (Debian
// 15.18-0+deb12u1)"); empty when it may not be run (see TrustedProgramPath), cannot be run or
// says nothing like it. Linux layouts only.
wxString ServerProgramVersion(const wxString& program);

// Runs an installation's program and keeps what it prints on its standard output, at most
// `limit` bytes. False when it may not be run (see TrustedProgramPath), cannot be started,
// fails, or has not finished within the time-out (it is then killed, as it is when it prints
// more than the limit). Input and errors are the null device; the locale is C. Linux only:
// every program the wizard starts for an installation is run through here.
bool RunTrustedProgram(const wxString& program, const std::vector<std::string>& arguments, std::size_t limit,
                       int timeoutMilliseconds, std::string& output);

// The account a program runs as instead of the wizard's own.
struct ProgramAccount
{
    unsigned user = 0;
    unsigned group = 0;
};

struct ProgramRunOptions
{
    // Run as this account: the wizard running as root drops to it (no other groups) before the
    // program starts; any other wizard runs the program only when the account is its own.
    std::optional<ProgramAccount> account;
    bool keepErrors = false; // standard error goes to `output` as well
};

enum class ProgramRun {
    notRun,    // not trusted, not started, not as the account, or killed at the time-out or limit
    succeeded, // exited with 0
    failed,    // ran to its end and exited otherwise
};

// The same run, telling a program that failed from one that did not run.
ProgramRun RunTrustedProgram(const wxString& program, const std::vector<std::string>& arguments, std::size_t limit,
                             int timeoutMilliseconds, std::string& output, const ProgramRunOptions& options);

// "15", "9.6": the first line of a data directory's PG_VERSION; empty when there is none or it
// does not look like a version.
wxString DataDirectoryVersion(const wxString& dataDirectory);

// The server that belongs to a configuration file chosen by hand.
struct ConfFileServer
{
    wxString version; // "15", "9.6": the data directory's PG_VERSION or the layout's version folder; empty: unknown
    wxString program; // the server program of that version; empty when none is installed
};

// Looks beside the file for PG_VERSION (the file is in a data directory), or recognises the
// packaged configuration folder <debianConfigurationRoot>/<version>/<cluster>/, then finds the
// program of that version in the packaged program folders. On Windows only the data
// directory tells the version, and no program is looked for.
ConfFileServer FindConfFileServer(const wxString& confFile, const ServerLayouts& layouts = ServerLayouts());

// The bitness of a hand-chosen record: the word size of the file's server program when one
// is found, else this machine's. On Windows "32", as the registry views give no answer for it.
wxString ConfFileBitness(const wxString& confFile, const ServerLayouts& layouts = ServerLayouts());
