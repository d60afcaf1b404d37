#include "tuning/machine_facts.h"

#include "installations/regular_file.h"

#include <wx/filename.h>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

const char* StorageName(Storage storage)
{
    switch (storage) {
    case Storage::ssd:
        return "ssd";
    case Storage::hdd:
        return "hdd";
    case Storage::unknown:
        break;
    }
    return "unknown";
}

template <typename Number>
void AddNumber(std::vector<std::string>& items, const char* key, const std::optional<Number>& value)
{
    if (value)
        items.push_back(std::string(key) + "=" + std::to_string(*value));
}

} // namespace

long RunningServerProcess(const wxString& dataDirectory)
{
    if (dataDirectory.empty())
        return 0;
    std::string bytes;
    bool more = false;
    wxString reason;
    // The first line is all that is read: a process id of at most ten digits.
    if (ReadFileStart(wxFileName(dataDirectory, wxT("postmaster.pid")).GetFullPath(), 16, bytes, more, reason)
        != FileRead::read)
        return 0;
    const std::string first = bytes.substr(0, bytes.find('\n'));
    if (first.empty() || first.size() > 10 || first.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const long long process = std::stoll(first);
    return process > 0 && process <= INT_MAX ? static_cast<long>(process) : 0;
}

std::vector<std::string> FactItems(const MachineFacts& facts)
{
    std::vector<std::string> items;
    AddNumber(items, "cpus", facts.cpus);
    if (facts.storage)
        items.push_back(std::string("storage=") + StorageName(*facts.storage));
    AddNumber(items, "memory_limit_mb", facts.memoryLimitMb);
    AddNumber(items, "hugepages_total", facts.hugepagesTotal);
    AddNumber(items, "hugepage_kb", facts.hugepageKb);
    AddNumber(items, "max_connections_now", facts.maxConnectionsNow);
    if (facts.features)
        items.push_back("features=" + *facts.features);
    AddNumber(items, "wal_free_mb", facts.walFreeMb);
    return items;
}

MemorySource EffectiveMemorySource(const MachineFacts& facts, MemorySource physical)
{
    const std::optional<std::uint64_t> limitMb = facts.memoryLimitMb;
    return [limitMb, physical = std::move(physical)](std::uint64_t& bytes) {
        if (!physical(bytes))
            return false;
        if (limitMb && *limitMb <= (UINT64_MAX >> 20))
            bytes = std::min(bytes, *limitMb << 20);
        return true;
    };
}
