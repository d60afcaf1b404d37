// The wizard's start-up against a minimal wxWidgets wizard of four pages (minimal_wizard): the
// time from just before fork until the X server maps the program's first top-level window,
// the two launched alternately, medians compared. It needs a display without a window manager
// (top-level windows are then children of the root window):
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/startup_bench [--runs N] [--busy-ok]
//
// Both programs get the same environment: an empty registry (PELLORAN_REGISTRY), a fresh
// XDG_CONFIG_HOME for every launch, GSettings in memory and no accessibility bridge, so that
// whether a session bus runs does not change the figures. The first pair is launched and
// thrown away: it fills the file cache, which later launches, like a user's second start,
// find full. On a busy machine (a 1-minute load average above 0.5 before the run) the
// medians are shown but not their ratio, unless --busy-ok; a run whose pair ratios spread
// widely is called unsteady. Either ends with exit status 2.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr double busyLoad = 0.5;
// A run whose middle half of pair ratios is wider than this saw the machine's speed change
// under it (another guest of the host, say); its ratio of the medians is not a figure.
constexpr double unsteadySpread = 0.10;
constexpr int mapTimeoutMs = 30000;

struct Program
{
    std::string name;
    std::string path;
    std::vector<double> milliseconds;
    std::vector<double> processorMilliseconds;
};

struct Launched
{
    double milliseconds;          // from just before fork until the window mapped
    double processorMilliseconds; // what the program used of the processors until then
};

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double OneMinuteLoad(const std::string& loadAverage)
{
    return std::strtod(loadAverage.c_str(), nullptr);
}

std::string FolderOfThisProgram()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    const std::string whole(path, length);
    return whole.substr(0, whole.rfind('/'));
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*)
{
    return remove(path);
}

void RemoveTree(const std::string& folder)
{
    nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A window gone before its property is read raises an X error; that window is not the one.
int IgnoreXError(Display*, XErrorEvent*)
{
    return 0;
}

long WindowPid(Display* display, Window window, Atom pidAtom)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
        if (type == XA_CARDINAL && format == 32 && count == 1)
            pid = *reinterpret_cast<unsigned long*>(data);
        XFree(data);
    }
    return pid;
}

// The processor time the process's threads have used so far, in milliseconds: less swayed
// by other work on the machine than the time to the window, so it is shown beside it.
double ProcessorMilliseconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* folder = opendir(tasks.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
            double nanoseconds = 0;
            if (stat >> nanoseconds)
                total += nanoseconds / 1e6;
        }
        closedir(folder);
    }
    return total;
}

std::string Tail(const std::string& path)
{
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

class Bench
{
public:
    Bench(Display* display, const std::string& folder)
        : display(display), folder(folder), root(DefaultRootWindow(display)),
          pidAtom(XInternAtom(display, "_NET_WM_PID", False))
    {
        XSetErrorHandler(IgnoreXError);
        XSelectInput(display, root, SubstructureNotifyMask);
        XSync(display, False);
        registry = folder + "/empty.reg";
        std::ofstream(registry) << "Windows Registry Editor Version 5.00\r\n";
    }

    // The time from just before fork until the program's first top-level window maps; the
    // program is ended and reaped before it returns.
    Launched Launch(const std::string& path)
    {
        const std::string config = folder + "/config-" + std::to_string(++launches);
        const std::string log = folder + "/output.log";
        std::vector<std::string> settings = {"PELLORAN_REGISTRY=" + registry, "XDG_CONFIG_HOME=" + config,
                                             "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1"};
        std::vector<char*> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            const std::string name(*entry, equals ? equals - *entry + 1 : std::strlen(*entry));
            const bool replaced = std::any_of(settings.begin(), settings.end(),
                                              [&](const std::string& s) { return s.compare(0, name.size(), name) == 0; });
            if (!replaced)
                environment.push_back(*entry);
        }
        for (std::string& setting : settings)
            environment.push_back(setting.data());
        environment.push_back(nullptr);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};

        // Nothing left over from the program before.
        while (XPending(display) > 0) {
            XEvent old;
            XNextEvent(display, &old);
        }

        const double started = Now();
        const pid_t pid = fork();
        if (pid < 0)
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execve(path.c_str(), argv, environment.data());
            _exit(127);
        }
        const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (ended < 0)
            throw std::runtime_error(std::string("pidfd_open: ") + std::strerror(errno));

        double mapped = 0;
        double processor = 0;
        std::string failure;
        while (mapped == 0 && failure.empty()) {
            while (mapped == 0 && XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                const double at = Now();
                if (event.type == MapNotify && event.xmap.event == root && !event.xmap.override_redirect &&
                    WindowPid(display, event.xmap.window, pidAtom) == pid) {
                    mapped = at - started;
                    processor = ProcessorMilliseconds(pid);
                }
            }
            if (mapped != 0)
                break;
            pollfd waits[] = {{ConnectionNumber(display), POLLIN, 0}, {ended, POLLIN, 0}};
            const int remaining = mapTimeoutMs - static_cast<int>(Now() - started);
            if (remaining <= 0) {
                failure = "no window mapped within " + std::to_string(mapTimeoutMs / 1000) + " s";
                break;
            }
            if (poll(waits, 2, remaining) < 0 && errno != EINTR)
                failure = std::string("poll: ") + std::strerror(errno);
            else if (waits[1].revents != 0 && XPending(display) == 0)
                failure = "it ended before its window mapped";
        }

        kill(pid, SIGTERM);
        pollfd wait{ended, POLLIN, 0};
        if (poll(&wait, 1, 2000) <= 0)
            kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(ended);
        RemoveTree(config);
        if (!failure.empty())
            throw std::runtime_error(path + ": " + failure + "; its output:\n" + Tail(log));
        return {mapped, processor};
    }

private:
    Display* display;
    std::string folder;
    Window root;
    Atom pidAtom;
    std::string registry;
    int launches = 0;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The value a given share of the way up the sorted values (nearest rank).
double Quantile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * (values.size() - 1) + 0.5)];
}

void PrintFigure(const Program& program)
{
    const auto range = std::minmax_element(program.milliseconds.begin(), program.milliseconds.end());
    std::printf("%-16s median %6.1f ms (%.1f-%.1f), processor time %.1f ms, %zu launches  [%s]\n",
                program.name.c_str(), Median(program.milliseconds), *range.first, *range.second,
                Median(program.processorMilliseconds), program.milliseconds.size(), program.path.c_str());
}

void Record(Program& program, const Launched& launched)
{
    program.milliseconds.push_back(launched.milliseconds);
    program.processorMilliseconds.push_back(launched.processorMilliseconds);
}

int Usage()
{
    std::fprintf(stderr, "usage: startup_bench [--runs N] [--busy-ok] [--wizard PATH] [--baseline PATH]\n");
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string here = FolderOfThisProgram();
    Program wizard{"pelloran", here + "/../pelloran", {}, {}};
    Program baseline{"minimal wizard", here + "/minimal_wizard", {}, {}};
    int runs = 20;
    bool busyOk = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--busy-ok")
            busyOk = true;
        else if (option == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (option == "--wizard" && i + 1 < argc)
            wizard.path = argv[++i];
        else if (option == "--baseline" && i + 1 < argc)
            baseline.path = argv[++i];
        else
            return Usage();
    }
    if (runs < 1)
        return Usage();

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "startup_bench: no display; run it under xvfb-run\n");
        return 69;
    }
    char folderTemplate[] = "/tmp/pelloran-startup-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        std::perror("startup_bench: mkdtemp");
        return 73;
    }
    const std::string folder = folderTemplate;

    int result = 0;
    try {
        Bench bench(display, folder);
        bench.Launch(wizard.path);
        bench.Launch(baseline.path);
        const std::string loadBefore = LoadAverage();
        std::printf("load average before: %s\n", loadBefore.c_str());
        // Each pair starts with the other program than the pair before.
        for (int run = 0; run < runs; ++run) {
            Program& first = run % 2 ? baseline : wizard;
            Program& second = run % 2 ? wizard : baseline;
            Record(first, bench.Launch(first.path));
            Record(second, bench.Launch(second.path));
        }
        const std::string loadAfter = LoadAverage();
        std::printf("time from fork to the first window mapped, %d alternating pairs after one thrown away:\n", runs);
        PrintFigure(wizard);
        PrintFigure(baseline);
        std::printf("load average after:  %s\n", loadAfter.c_str());
        const double ratio = Median(wizard.milliseconds) / Median(baseline.milliseconds);
        if (OneMinuteLoad(loadBefore) > busyLoad && !busyOk) {
            std::printf("ratio not reported: the machine was busy (1-minute load %.2f before the run, above %.1f); "
                        "--busy-ok reports it anyway\n",
                        OneMinuteLoad(loadBefore), busyLoad);
            result = 2;
        } else {
            std::printf("ratio of the medians: %.2f%s\n", ratio,
                        OneMinuteLoad(loadBefore) > busyLoad ? " (machine busy)" : "");
            // The two launches of a pair see the machine alike; the spread of their ratios shows
            // how far the machine's speed moved during the run.
            std::vector<double> pairRatios;
            for (size_t pair = 0; pair < wizard.milliseconds.size(); ++pair)
                pairRatios.push_back(wizard.milliseconds[pair] / baseline.milliseconds[pair]);
            const double lowerQuarter = Quantile(pairRatios, 0.25);
            const double upperQuarter = Quantile(pairRatios, 0.75);
            std::printf("ratio within each pair: median %.2f, middle half %.2f-%.2f\n", Median(pairRatios),
                        lowerQuarter, upperQuarter);
            if (upperQuarter - lowerQuarter > unsteadySpread && !busyOk) {
                std::printf("unsteady run: the middle half spans more than %.2f; run it again\n", unsteadySpread);
                result = 2;
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "startup_bench: %s\n", error.what());
        result = 1;
    }
    RemoveTree(folder);
    XCloseDisplay(display);
    return result;
}
