// The service's values (the 17 and the extension's) beside pgtune's formulas for the same
// machine, as ratios ours / pgtune, over a grid of versions, memory, usage, processors and
// storage. pgtune's formulas are restated here from its code (profiles web for dedicated,
// mixed for mixed, desktop for development; its "dbSize" left at the middle); figures it
// does not set, or we do not, show as "-".
#include "service/tuning_extensions.h"
#include "service/tuning_rules.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Machine
{
    int major;
    std::uint64_t gigabytes;
    int usage; // 33, 66, 100
    std::uint64_t cpus;
    bool ssd;
};

// A setting's value as a number in kB (memory) or as itself; NaN when not set or not a number.
double Figure(const std::string& text)
{
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return NAN; // on, off and the like are not compared
    std::size_t used = 0;
    const double number = std::stod(text, &used);
    const std::string unit = text.substr(used);
    if (unit == "kB")
        return number;
    if (unit == "MB")
        return number * 1024;
    if (unit == "GB")
        return number * 1024 * 1024;
    if (unit == "TB")
        return number * 1024 * 1024 * 1024;
    return number;
}

std::map<std::string, double> Ours(const Machine& m)
{
    ValuesRequest request;
    request.ramMegabytes = m.gigabytes * 1024;
    request.usage = m.usage;
    AnnouncedProfile profile;
    profile.version = {m.major, 0};
    std::array<std::string, tuningParameterCount> values = ComputeValues(request, profile);
    const MachineFacts facts =
        ReadMachineFacts({"cpus=" + std::to_string(m.cpus), m.ssd ? "storage=ssd" : "storage=hdd", "features=lz4"});
    std::map<std::string, double> figures;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        figures[tuningParameterNames[i]] = Figure(values[i]);
    for (const ExtensionItem& item : ComputeExtensions(facts, request, profile, values))
        if (item.kind != ExtensionKind::advice)
            figures[item.name] = Figure(item.value);
    // What the server uses without a line, where pgtune sets one and we leave the default.
    const std::map<std::string, double> defaults = {
        {"effective_io_concurrency", 1}, {"max_worker_processes", 8}, {"max_parallel_workers", 8},
        {"max_parallel_workers_per_gather", 2}, {"max_parallel_maintenance_workers", 2},
        {"min_wal_size", 80 * 1024}, {"max_wal_size", 1024 * 1024}};
    for (const auto& [name, value] : defaults)
        figures.emplace(name, value);
    return figures;
}

std::map<std::string, double> Pgtune(const Machine& m)
{
    const double ram = static_cast<double>(m.gigabytes) * 1024 * 1024; // kB
    const bool desktop = m.usage == 33, mixed = m.usage == 66;
    const double connections = desktop ? 20 : mixed ? 100 : 200;
    std::map<std::string, double> f;
    f["max_connections"] = connections;
    const double sharedBuffers = desktop ? ram / 16 : ram / 4;
    f["shared_buffers"] = sharedBuffers;
    f["effective_cache_size"] = desktop ? ram / 4 : ram * 3 / 4;
    f["maintenance_work_mem"] = std::min(ram / 16, 8.0 * 1024 * 1024);
    const double workers = m.cpus >= 4 ? static_cast<double>(m.cpus) : 8;
    double workMem = (ram - sharedBuffers) / ((connections + workers) * 3);
    workMem /= desktop ? 6 : mixed ? 2 : 1;
    f["work_mem"] = std::max(std::floor(workMem), 4096.0);
    double walBuffers = sharedBuffers * 3 / 100;
    walBuffers = walBuffers > 14 * 1024 ? 16 * 1024 : std::max(std::min(walBuffers, 16.0 * 1024), 32.0);
    f["wal_buffers"] = walBuffers;
    f["min_wal_size"] = desktop ? 100 * 1024 : 1024 * 1024;
    f["max_wal_size"] = (desktop ? 2.0 : 4.0) * 1024 * 1024;
    f["random_page_cost"] = m.ssd ? 1.1 : 4;
    f["effective_io_concurrency"] = m.ssd ? 200 : 2;
    if (m.cpus >= 4) {
        const double half = std::ceil(m.cpus / 2.0);
        f["max_worker_processes"] = m.cpus;
        f["max_parallel_workers"] = m.cpus;
        f["max_parallel_workers_per_gather"] = std::min(half, 4.0);
        f["max_parallel_maintenance_workers"] = std::min(half, 4.0);
    }
    return f;
}

const char* const compared[] = {
    "max_connections", "shared_buffers", "effective_cache_size", "maintenance_work_mem", "work_mem",
    "wal_buffers", "min_wal_size", "max_wal_size", "random_page_cost", "effective_io_concurrency",
    "max_worker_processes", "max_parallel_workers", "max_parallel_workers_per_gather",
    "max_parallel_maintenance_workers",
};

} // namespace

int main()
{
    std::printf("ours / pgtune, PostgreSQL 12, 15 and 17 on Linux (\"-\": one side leaves the default)\n");
    std::printf("%-4s %5s %-9s %4s %-4s", "ver", "RAM", "usage", "cpu", "disk");
    for (std::size_t i = 0; i < std::size(compared); ++i)
        std::printf(" %5s", ("p" + std::to_string(i + 1)).c_str());
    std::printf("\n");
    std::map<std::string, std::vector<double>> ratios;
    for (const int major : {12, 15, 17})
        for (const std::uint64_t gigabytes : {1, 8, 64, 256})
            for (const int usage : {33, 66, 100})
                for (const std::uint64_t cpus : {2, 8, 32})
                    for (const bool ssd : {true, false}) {
                        const Machine machine{major, gigabytes, usage, cpus, ssd};
                        const auto ours = Ours(machine);
                        const auto theirs = Pgtune(machine);
                        std::printf("%-4d %4lluG %-9s %4llu %-4s", major, static_cast<unsigned long long>(gigabytes),
                                    usage == 33 ? "develop" : usage == 66 ? "mixed" : "dedicated",
                                    static_cast<unsigned long long>(cpus), ssd ? "ssd" : "hdd");
                        for (const char* name : compared) {
                            const auto mine = ours.find(name);
                            const auto other = theirs.find(name);
                            if (mine == ours.end() || other == theirs.end() || std::isnan(mine->second)) {
                                std::printf(" %5s", "-");
                                continue;
                            }
                            const double ratio = mine->second / other->second;
                            ratios[name].push_back(ratio);
                            std::printf(" %5.2f", ratio);
                        }
                        std::printf("\n");
                    }
    std::printf("\nmedian ratio (lowest, highest) per parameter:\n");
    for (std::size_t i = 0; i < std::size(compared); ++i) {
        std::vector<double>& r = ratios[compared[i]];
        if (r.empty())
            continue;
        std::sort(r.begin(), r.end());
        std::printf("  p%-2zu %-34s %5.2f (%.2f, %.2f)\n", i + 1, compared[i], r[r.size() / 2], r.front(), r.back());
    }
    return 0;
}
