#include "installations/server_program.h"

#include "installations/regular_file.h"
#include "installations/trusted_program.h"
#include "protocol/server_version.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int versionTimeoutMilliseconds = 10000;

std::string Native(const wxString& text)
{
    const wxCharBuffer bytes = text.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

wxString Wide(const std::string& text)
{
    return wxString(text.c_str(), *wxConvFileName);
}

bool IsExecutableFile(const fs::path& program)
{
    std::error_code error;
    return fs::is_regular_file(program, error) && access(program.c_str(), X_OK) == 0;
}

// The packaged program of a major version: Debian's, then PGDG's, then the system's own when
// it reports that version.
std::string ProgramOfVersion(const std::string& version, const ServerLayouts& layouts)
{
    const fs::path versioned[] = {
        fs::path(Native(layouts.debianProgramRoot)) / version / "bin" / "postgres",
        fs::path(Native(layouts.versionedProgramPrefix) + version) / "bin" / "postgres",
    };
    for (const fs::path& program : versioned)
        if (IsExecutableFile(program))
            return program.string();
    const fs::path system = fs::path(Native(layouts.systemProgramFolder)) / "postgres";
    if (IsExecutableFile(system) && IsSameMajorRelease(ReadServerVersion(Native(ServerProgramVersion(Wide(system.string())))), ReadServerVersion(version)))
        return system.string();
    return std::string();
}

// The first word of a line that begins with a digit.
std::string FirstNumberWord(const std::string& line)
{
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        size_t end = i;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
            ++end;
        if (end > i && std::isdigit(static_cast<unsigned char>(line[i])))
            return line.substr(i, end - i);
        i = end;
    }
    return std::string();
}

// Starts the program with input from the null device and its output into `outputEnd`;
// -1 when it cannot be started.
pid_t Start(const std::string& path, char* const* argv, const char* const* environment, int outputEnd, bool keepErrors)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputEnd, 1);
    if (keepErrors)
        posix_spawn_file_actions_adddup2(&actions, outputEnd, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, path.c_str(), &actions, nullptr, argv, const_cast<char* const*>(environment));
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

// The same as another account: spawning cannot change ids, so the child forks, drops its
// groups, group and user, and only then executes the program. A step that fails is told
// through a pipe that the program's start closes, so that it is never taken for the
// program's own failure. Only calls that are safe after a fork run in the child.
pid_t StartAs(const ProgramAccount& account, const std::string& path, char* const* argv,
              const char* const* environment, int outputEnd, bool keepErrors)
{
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        const int nullInput = open("/dev/null", O_RDONLY);
        const int nullOutput = keepErrors ? outputEnd : open("/dev/null", O_WRONLY);
        if (nullInput < 0 || nullOutput < 0 || dup2(nullInput, 0) < 0 || dup2(outputEnd, 1) < 0 ||
            dup2(nullOutput, 2) < 0 || setgroups(0, nullptr) != 0 || setgid(account.group) != 0 ||
            setuid(account.user) != 0 || (account.user != 0 && setuid(0) == 0)) {
            const char step = 1;
            (void)!write(failure[1], &step, 1);
            _exit(127);
        }
        execve(path.c_str(), argv, const_cast<char* const*>(environment));
        const char step = 1;
        (void)!write(failure[1], &step, 1);
        _exit(127);
    }
    close(failure[1]);
    if (child < 0) {
        close(failure[0]);
        return -1;
    }
    char step = 0;
    ssize_t got;
    while ((got = read(failure[0], &step, 1)) < 0 && errno == EINTR) {
    }
    close(failure[0]);
    if (got == 0)
        return child;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

} // namespace

wxString ProgramWordSize(const wxString& program)
{
    // e_ident: the magic number, then the class (1: 32-bit objects, 2: 64-bit objects).
    // A packaged program is often a link (/usr/bin/postgres): what it names is read, and
    // nothing past the header.
    std::error_code error;
    const fs::path file = fs::canonical(Native(program), error);
    std::string header;
    bool more = false;
    wxString reason;
    if (error || ReadFileStart(Wide(file.string()), 5, header, more, reason) != FileRead::read || header.size() != 5)
        return wxString();
    const unsigned char* ident = reinterpret_cast<const unsigned char*>(header.data());
    if (ident[0] != 0x7f || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F')
        return wxString();
    if (ident[4] == 1)
        return wxT("32");
    if (ident[4] == 2)
        return wxT("64");
    return wxString();
}

wxString MachineWordSize()
{
    // The kernel's machine name, as the toolkit's 64-bit-platform test reads it ("x86_64",
    // "aarch64", "ppc64le", "s390x", "riscv64"), without starting a program.
    utsname system;
    if (uname(&system) != 0)
        return sizeof(void*) == 8 ? wxT("64") : wxT("32");
    const std::string machine = system.machine;
    const bool is64Bit = machine.find("64") != std::string::npos || machine == "s390x" || machine == "alpha";
    return is64Bit || sizeof(void*) == 8 ? wxT("64") : wxT("32");
}

bool RunTrustedProgram(const wxString& program, const std::vector<std::string>& arguments, std::size_t limit,
                       int timeoutMilliseconds, std::string& output)
{
    return RunTrustedProgram(program, arguments, limit, timeoutMilliseconds, output, ProgramRunOptions()) ==
           ProgramRun::succeeded;
}

ProgramRun RunTrustedProgram(const wxString& program, const std::vector<std::string>& arguments, std::size_t limit,
                             int timeoutMilliseconds, std::string& output, const ProgramRunOptions& options)
{
    output.clear();
    const std::string path = Native(TrustedProgramPath(program));
    if (path.empty())
        return ProgramRun::notRun;
    // Only root can become another account; anyone else runs a program as itself.
    const bool switchAccount = options.account && geteuid() == 0;
    if (options.account && !switchAccount && (options.account->user != geteuid() || options.account->group != getegid()))
        return ProgramRun::notRun;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return ProgramRun::notRun;
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const char* environment[] = {"LC_ALL=C", "PATH=/usr/bin:/bin", nullptr};
    pid_t child = switchAccount ? StartAs(*options.account, path, argv.data(), environment, pipeEnds[1], options.keepErrors)
                                : Start(path, argv.data(), environment, pipeEnds[1], options.keepErrors);
    close(pipeEnds[1]);
    if (child < 0) {
        close(pipeEnds[0]);
        return ProgramRun::notRun;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    bool timedOut = false;
    while (output.size() < limit) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd ready = {pipeEnds[0], POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0) {
            timedOut = polled == 0;
            break;
        }
        char buffer[512];
        const ssize_t got = read(pipeEnds[0], buffer, std::min(sizeof buffer, limit - output.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    // A program that keeps writing past the bound is not waited for either.
    if (timedOut || output.size() >= limit)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || output.size() >= limit)
        return ProgramRun::notRun;
    return WEXITSTATUS(status) == 0 ? ProgramRun::succeeded : ProgramRun::failed;
}

wxString ServerProgramVersion(const wxString& program)
{
    std::string text;
    if (!RunTrustedProgram(program, {"--version"}, 4096, versionTimeoutMilliseconds, text))
        return wxString();
    return Wide(FirstNumberWord(text.substr(0, text.find('\n'))));
}

ConfFileServer FindConfFileServer(const wxString& confFile, const ServerLayouts& layouts)
{
    ConfFileServer found;
    const fs::path folder = fs::path(Native(confFile)).parent_path();
    std::string version = Native(DataDirectoryVersion(Wide(folder.string())));
    if (version.empty()) {
        // <configuration root>/<version>/<cluster>/postgresql.conf
        std::error_code error;
        const fs::path root = fs::path(Native(layouts.debianConfigurationRoot));
        const fs::path versionFolder = folder.parent_path();
        if (fs::equivalent(versionFolder.parent_path(), root, error) && !error) {
            const std::string name = versionFolder.filename().string();
            if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0])))
                version = name;
        }
    }
    if (version.empty())
        return found;
    found.version = Wide(version);
    found.program = Wide(ProgramOfVersion(version, layouts));
    return found;
}

wxString ConfFileBitness(const wxString& confFile, const ServerLayouts& layouts)
{
    return ServerBitness(FindConfFileServer(confFile, layouts).program);
}
