#include "tests/support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> BuildEnvironment(const ProgramOptions& options)
{
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& name : options.unsetEnvironment)
        merged.erase(name);
    for (const auto& [name, value] : options.environment)
        merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged)
        result.push_back(name + "=" + value);
    return result;
}

} // namespace

ProgramResult RunProgram(const std::vector<std::string>& command, const ProgramOptions& options)
{
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    const std::vector<std::string> environment = BuildEnvironment(options);
    std::vector<char*> envp, argv;
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        setpgid(0, 0);
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(child, child);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    ProgramResult result;
    const std::string& input = options.standardInput;
    std::size_t written = 0;
    if (input.empty())
        close(inPipe[1]);
    else
        fcntl(inPipe[1], F_SETFL, O_NONBLOCK);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    bool outOpen = true, errOpen = true, inOpen = !input.empty();
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(-child, SIGKILL);
            break;
        }
        pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {inPipe[1], POLLOUT, 0}};
        if (!outOpen)
            fds[0].fd = -1;
        if (!errOpen)
            fds[1].fd = -1;
        if (!inOpen)
            fds[2].fd = -1;
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? result.standardOutput : result.standardError).append(buffer, n);
            else
                (i == 0 ? outOpen : errOpen) = false;
        }
        if (inOpen && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(inPipe[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += n;
            if (n < 0 || written == input.size()) {
                close(inPipe[1]);
                inOpen = false;
            }
        }
    }
    if (inOpen)
        close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);

    int status = 0;
    if (result.timedOut)
        kill(-child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string PelloranBinary()
{
    return PELLORAN_BINARY_PATH;
}

std::string SourceDir()
{
    return PELLORAN_SOURCE_PATH;
}

std::string BuildDir()
{
    return PELLORAN_BUILD_PATH;
}
