// What the wizard learns about the machine an installation runs on, instead of asking: its
// storage, processors, memory limit, huge pages, build features and free WAL space. Each fact
// is optional; one that cannot be learnt is simply not known.
#pragma once

#include "tuning/system_info.h"

#include <wx/string.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The installation the facts are about.
struct FactsSubject
{
    wxString dataDirectory; // where the data is: a packaged cluster's data_directory, not its configuration folder
    long serverProcess = 0; // the running server's process id; 0 when none runs
    wxString baseDirectory; // <base>/bin holds the server's programs; empty when not known
};

// Where the kernel's trees are read from; tests point them at fixture trees.
struct FactRoots
{
    std::string proc = "/proc";
    std::string sys = "/sys";
    std::string cgroup = "/sys/fs/cgroup";
};

enum class Storage { ssd, hdd, unknown };

struct MachineFacts
{
    std::optional<long> cpus;
    std::optional<Storage> storage;
    std::optional<std::uint64_t> memoryLimitMb; // the cgroup's limit, not the machine's memory
    std::optional<std::uint64_t> hugepagesTotal;
    std::optional<std::uint64_t> hugepageKb;
    std::optional<long> maxConnectionsNow; // read from the configuration by the caller (conf/)
    std::optional<std::string> features;   // "lz4,zstd,llvm"; empty when the build has none of them
    std::optional<std::uint64_t> walFreeMb;
};

// The process id that the data directory's postmaster.pid names (its first line); 0 when there
// is no such file or its first line is not a process id. A stale file names a process that
// is gone, and the platform code then falls back to the wizard's own process.
long RunningServerProcess(const wxString& dataDirectory);

// Every fact but maxConnectionsNow, which comes from the configuration (CurrentMaxConnections
// in conf/, a floor above this one). Each platform has its own file.
MachineFacts DetectMachineFacts(const FactsSubject& subject, const FactRoots& roots = FactRoots());

// The known facts as "key=value" items, in the order the service expects them.
std::vector<std::string> FactItems(const MachineFacts& facts);

// The memory the server may use, as a memory source for SetTotalMemorySource: what `physical`
// reports (the machine's memory), or the cgroup's limit when that is smaller. Installed, it
// makes the profile announce the memory the server really has.
using MemorySource = std::function<bool(std::uint64_t& bytes)>;
MemorySource EffectiveMemorySource(const MachineFacts& facts, MemorySource physical = QueryTotalMemory);
