// The Linux sources of the machine facts: the block devices under /sys, the cgroup the
// server runs in, /proc/meminfo, and the server's own pg_config. Everything read here comes
// from outside: each file is read bounded and parsed strictly, and a doubt gives "not known".
#include "tuning/machine_facts.h"

#include "installations/regular_file.h"
#include "installations/server_program.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::size_t kernelFileLimit = 65536;
// Partition, device-mapper, md and disk are four steps; anything deeper is not a real stack.
const int deviceDepthLimit = 8;
const std::size_t diskLimit = 64;
const std::size_t configureTextLimit = 65536;
const int pgConfigTimeoutMilliseconds = 10000;
// cgroup v1 reports "no limit" as the largest page-aligned 63-bit number.
const std::uint64_t noMemoryLimit = std::uint64_t(1) << 62;

wxString Wide(const std::string& text)
{
    return wxString(text.c_str(), *wxConvFileName);
}

std::string Native(const wxString& text)
{
    const wxCharBuffer bytes = text.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

// A small file of the kernel's trees; empty when it cannot be read.
std::string ReadKernelFile(const fs::path& file)
{
    std::string bytes;
    bool more = false;
    wxString reason;
    if (ReadFileStart(Wide(file.string()), kernelFileLimit, bytes, more, reason) != FileRead::read)
        return std::string();
    return bytes;
}

std::string Trimmed(const std::string& text)
{
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto start = std::find_if_not(text.begin(), text.end(), blank);
    const auto end = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return start < end ? std::string(start, end) : std::string();
}

// The whole text as a decimal count; false for anything else, an overflow included.
bool ParseCount(const std::string& text, std::uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    return !text.empty() && parsed.ec == std::errc() && parsed.ptr == end;
}

// ---- storage ----

struct StorageTally
{
    int solid = 0;
    int rotating = 0;
    int unknown = 0;
};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Hypervisors' disks report whatever the host chose, usually "rotating", whatever lies beneath.
bool IsVirtualDisk(const fs::path& disk)
{
    const std::string name = disk.filename().string();
    if (StartsWith(name, "vd") || StartsWith(name, "xvd") || disk.string().find("/virtio") != std::string::npos)
        return true;
    const std::string vendor = Trimmed(ReadKernelFile(disk / "device" / "vendor"));
    for (const char* maker : {"VMware", "QEMU", "Msft", "VBOX", "Xen"})
        if (StartsWith(vendor, maker))
            return true;
    std::error_code error;
    const std::string driver = fs::read_symlink(disk / "device" / "driver", error).filename().string();
    return !error && (StartsWith(driver, "virtio") || driver == "vbd" || driver == "xen-blkfront");
}

void CountDisks(const fs::path& device, int depth, StorageTally& tally)
{
    if (depth > deviceDepthLimit || static_cast<std::size_t>(tally.solid + tally.rotating + tally.unknown) >= diskLimit) {
        ++tally.unknown;
        return;
    }
    std::error_code error;
    // A partition is a folder inside its disk's, which alone has the queue.
    const fs::path node = fs::is_directory(device / "queue", error) ? device : device.parent_path();
    if (!fs::is_directory(node / "queue", error)) {
        ++tally.unknown;
        return;
    }
    // Device-mapper and md devices name what they are built on as their slaves.
    bool stacked = false;
    for (const auto& slave : fs::directory_iterator(node / "slaves", error)) {
        stacked = true;
        const fs::path target = fs::canonical(slave.path(), error);
        if (error)
            ++tally.unknown;
        else
            CountDisks(target, depth + 1, tally);
    }
    if (stacked)
        return;
    const std::string rotational = Trimmed(ReadKernelFile(node / "queue" / "rotational"));
    if (rotational == "0")
        ++tally.solid;
    else if (rotational == "1" && !IsVirtualDisk(node))
        ++tally.rotating;
    else
        ++tally.unknown;
}

Storage DetectStorage(const std::string& dataDirectory, const FactRoots& roots)
{
    struct stat status;
    if (dataDirectory.empty() || stat(dataDirectory.c_str(), &status) != 0)
        return Storage::unknown;
    const std::string number = std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    std::error_code error;
    const fs::path device = fs::canonical(fs::path(roots.sys) / "dev" / "block" / number, error);
    if (error)
        return Storage::unknown;
    StorageTally tally;
    CountDisks(device, 0, tally);
    if (tally.rotating > 0)
        return Storage::hdd;
    if (tally.unknown == 0 && tally.solid > 0)
        return Storage::ssd;
    return Storage::unknown;
}

// ---- cgroups ----

// The folders of the cgroup a process runs in, one per hierarchy that matters here; empty
// when the hierarchy is not mounted or the process not found.
struct CgroupFolders
{
    std::vector<fs::path> unified; // the cgroup, then each parent up to the hierarchy's root
    std::vector<fs::path> memory;
    std::vector<fs::path> cpu;
};

// The cgroup and its parents inside the hierarchy mounted at `mount`. A path with ".." is not
// the kernel's. Inside a cgroup namespace the mount is the process's own cgroup, whatever
// path the process file shows, so a path that is not there means the mount itself.
std::vector<fs::path> CgroupAndParents(const fs::path& mount, const std::string& path)
{
    std::vector<fs::path> folders;
    const fs::path relative = fs::path(path).relative_path();
    for (const fs::path& part : relative)
        if (part == "..")
            return folders;
    std::error_code error;
    fs::path folder = mount / relative;
    if (!fs::is_directory(folder, error))
        return {mount};
    for (;; folder = folder.parent_path()) {
        folders.push_back(folder);
        if (folder == mount || folder.parent_path() == folder || folders.size() > 64)
            break;
    }
    return folders;
}

CgroupFolders FindCgroup(long process, const FactRoots& roots)
{
    std::string text;
    if (process > 0)
        text = ReadKernelFile(fs::path(roots.proc) / std::to_string(process) / "cgroup");
    if (text.empty())
        text = ReadKernelFile(fs::path(roots.proc) / "self" / "cgroup");
    CgroupFolders found;
    const fs::path root(roots.cgroup);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // hierarchy-id:controller-list:path; the path may itself hold a ':'.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos || line.compare(second + 1, 1, "/") != 0)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            std::error_code error;
            if (fs::exists(root / "cgroup.controllers", error))
                found.unified = CgroupAndParents(root, path);
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (name == "memory")
                found.memory = CgroupAndParents(root / "memory", path);
            else if (name == "cpu")
                found.cpu = CgroupAndParents(root / "cpu", path);
        }
    }
    return found;
}

std::optional<std::uint64_t> SmallestMemoryLimit(const CgroupFolders& cgroup)
{
    std::optional<std::uint64_t> smallest;
    const auto consider = [&](const fs::path& file) {
        std::uint64_t bytes = 0;
        if (ParseCount(Trimmed(ReadKernelFile(file)), bytes) && bytes < noMemoryLimit)
            smallest = smallest ? std::min(*smallest, bytes) : bytes;
    };
    // A limit anywhere above the cgroup holds it too ("max" in v2 is none).
    for (const fs::path& folder : cgroup.unified)
        consider(folder / "memory.max");
    for (const fs::path& folder : cgroup.memory)
        consider(folder / "memory.limit_in_bytes");
    return smallest;
}

// The processors a quota allows, rounded up; none when no level of the cgroup sets one.
std::optional<long> QuotaProcessors(const CgroupFolders& cgroup)
{
    std::optional<long> smallest;
    const auto consider = [&](const std::string& quotaText, const std::string& periodText) {
        std::uint64_t quota = 0;
        std::uint64_t period = 0;
        if (!ParseCount(quotaText, quota) || !ParseCount(periodText, period) || quota == 0 || period == 0
            || quota > (UINT64_MAX >> 1))
            return;
        const long processors = static_cast<long>(std::min<std::uint64_t>((quota + period - 1) / period, LONG_MAX));
        smallest = smallest ? std::min(*smallest, processors) : processors;
    };
    for (const fs::path& folder : cgroup.unified) {
        std::istringstream limit(ReadKernelFile(folder / "cpu.max")); // "quota period" or "max period"
        std::string quota;
        std::string period;
        limit >> quota >> period;
        consider(quota, period);
    }
    for (const fs::path& folder : cgroup.cpu) // -1: no quota, which ParseCount refuses
        consider(Trimmed(ReadKernelFile(folder / "cpu.cfs_quota_us")), Trimmed(ReadKernelFile(folder / "cpu.cfs_period_us")));
    return smallest;
}

long AffinityCount(pid_t process)
{
    const int most = 8192;
    cpu_set_t* set = CPU_ALLOC(most);
    if (set == nullptr)
        return 0;
    const std::size_t size = CPU_ALLOC_SIZE(most);
    const long count = sched_getaffinity(process, size, set) == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    return count;
}

// The processors the server may run on: its own affinity, the wizard's when that cannot be
// read, the online count when neither can.
std::optional<long> AffinityProcessors(long process)
{
    long count = process > 0 ? AffinityCount(static_cast<pid_t>(process)) : 0;
    if (count <= 0)
        count = AffinityCount(0);
    if (count <= 0)
        count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? std::optional<long>(count) : std::nullopt;
}

// ---- the rest ----

void ReadHugePages(const FactRoots& roots, MachineFacts& facts)
{
    std::istringstream lines(ReadKernelFile(fs::path(roots.proc) / "meminfo"));
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, colon);
        std::string value = Trimmed(line.substr(colon + 1));
        std::uint64_t count = 0;
        if (key == "HugePages_Total" && ParseCount(value, count))
            facts.hugepagesTotal = count;
        else if (key == "Hugepagesize" && value.size() > 3 && value.compare(value.size() - 3, 3, " kB") == 0
                 && ParseCount(Trimmed(value.substr(0, value.size() - 3)), count))
            facts.hugepageKb = count;
    }
}

// The build features the service asks about, from `pg_config --configure`.
std::optional<std::string> BuildFeatures(const std::string& baseDirectory)
{
    std::string configure;
    if (baseDirectory.empty()
        || !RunTrustedProgram(Wide((fs::path(baseDirectory) / "bin" / "pg_config").string()), {"--configure"},
                              configureTextLimit, pgConfigTimeoutMilliseconds, configure))
        return std::nullopt;
    std::string features;
    std::istringstream words(configure);
    std::string word;
    while (words >> word) {
        word.erase(std::remove(word.begin(), word.end(), '\''), word.end());
        for (const char* feature : {"lz4", "zstd", "llvm"})
            if (word == std::string("--with-") + feature && features.find(feature) == std::string::npos)
                features += (features.empty() ? "" : ",") + std::string(feature);
    }
    return features;
}

std::optional<std::uint64_t> WalFreeMegabytes(const std::string& dataDirectory)
{
    if (dataDirectory.empty())
        return std::nullopt;
    // pg_xlog was renamed pg_wal in 10; either may be a link to another file system.
    for (const char* name : {"pg_wal", "pg_xlog"}) {
        const fs::path folder = fs::path(dataDirectory) / name;
        std::error_code error;
        struct statvfs space;
        if (fs::is_directory(folder, error) && statvfs(folder.c_str(), &space) == 0)
            return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize >> 20;
    }
    return std::nullopt;
}

} // namespace

MachineFacts DetectMachineFacts(const FactsSubject& subject, const FactRoots& roots)
{
    MachineFacts facts;
    const std::string dataDirectory = Native(subject.dataDirectory);
    const long server = subject.serverProcess > 0 ? subject.serverProcess : RunningServerProcess(subject.dataDirectory);
    const CgroupFolders cgroup = FindCgroup(server, roots);
    facts.cpus = AffinityProcessors(server);
    if (const std::optional<long> quota = QuotaProcessors(cgroup))
        facts.cpus = facts.cpus ? std::min(*facts.cpus, *quota) : *quota;
    if (facts.cpus)
        facts.cpus = std::max(*facts.cpus, 1L);
    facts.storage = DetectStorage(dataDirectory, roots);
    if (const std::optional<std::uint64_t> limit = SmallestMemoryLimit(cgroup))
        facts.memoryLimitMb = *limit >> 20;
    ReadHugePages(roots, facts);
    facts.features = BuildFeatures(Native(subject.baseDirectory));
    facts.walFreeMb = WalFreeMegabytes(dataDirectory);
    return facts;
}
