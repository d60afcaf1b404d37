#include "service/tuning_extensions.h"

#include <algorithm>
#include <climits>
#include <sstream>

namespace {

std::optional<std::uint64_t> Whole(const std::string& text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

std::uint64_t HalfRoundedUp(std::uint64_t n) { return (n + 1) / 2; }

// Collects the items that change something on that server.
class Items
{
public:
    Items(const AnnouncedProfile& profile) : profile(profile) {}

    // `versionDefault` is what the server uses without the line; an equal value is not sent.
    void Set(const char* name, const std::string& value, const std::string& versionDefault, const std::string& reason)
    {
        if (value != versionDefault && Applies(name))
            items.push_back({name, value, ExtensionKind::set, reason});
    }

    // `received` is the value the 17 carried for it.
    void Refine(const char* name, const std::string& value, const std::string& received, const std::string& reason)
    {
        if (!received.empty() && value != received && Applies(name))
            items.push_back({name, value, ExtensionKind::refine, reason});
    }

    void Advise(const char* name, const std::string& reason) { items.push_back({name, "", ExtensionKind::advice, reason}); }

    std::vector<ExtensionItem> Take() { return std::move(items); }

private:
    bool Applies(const char* name) const
    {
        const ExtensionParameter* row = FindExtensionParameter(name);
        return row != nullptr && ExtensionParameterApplies(*row, profile.version, profile.windows);
    }

    const AnnouncedProfile& profile;
    std::vector<ExtensionItem> items;
};

} // namespace

std::string ReadExtensionRequest(const HexItems& items, ExtensionRequest& request)
{
    if (items.size() < 2)
        return "getTuningExtensions needs the exchange identifier and the extension's version";
    if (items.size() > 2 + extensionFactLimit)
        return "at most " + std::to_string(extensionFactLimit) + " facts, not " + std::to_string(items.size() - 2);
    std::vector<std::string> texts(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!DecodeItem(items[i], texts[i]))
            return "item " + std::to_string(i + 1) + " is not hex text";
    if (texts[1] != ExtensionRequestTag())
        return "the extension's version (item 2) must be " + ExtensionRequestTag();
    request.identifier = texts[0];
    request.facts.assign(texts.begin() + 2, texts.end());
    return {};
}

MachineFacts ReadMachineFacts(const std::vector<std::string>& facts)
{
    MachineFacts read;
    for (const std::string& fact : facts) {
        const std::size_t equals = fact.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = fact.substr(0, equals);
        const std::string value = fact.substr(equals + 1);
        if (key == "cpus")
            read.cpus = Whole(value);
        else if (key == "storage" && (value == "ssd" || value == "hdd"))
            read.solidState = value == "ssd";
        else if (key == "hugepages_total")
            read.hugepagesTotal = Whole(value);
        else if (key == "hugepage_kb")
            read.hugepageKilobytes = Whole(value);
        else if (key == "max_connections_now")
            read.maxConnectionsNow = Whole(value);
        else if (key == "wal_free_mb")
            read.walFreeMegabytes = Whole(value);
        else if (key == "features") {
            std::istringstream words(value);
            for (std::string word; std::getline(words, word, ',');)
                if (!word.empty())
                    read.features.push_back(word);
        }
    }
    if (read.cpus == 0u)
        read.cpus.reset();
    if (read.hugepageKilobytes == 0u)
        read.hugepageKilobytes.reset();
    return read;
}

std::vector<ExtensionItem> ComputeExtensions(const MachineFacts& facts, const ValuesRequest& request,
                                             const AnnouncedProfile& profile,
                                             const std::array<std::string, tuningParameterCount>& values)
{
    const ServerVersion& v = profile.version;
    const bool development = request.usage == 33;
    const bool dedicated = request.usage == 100;
    const MemoryPlan plan = PlanMemory(request, profile);
    const auto onMachine = [&plan](std::uint64_t kilobytes) { return MemoryText(std::min(kilobytes, plan.ramKilobytes)); };
    Items items(profile);

    if (facts.solidState) {
        const bool ssd = *facts.solidState;
        const std::string storage = ssd ? "the data directory is on solid-state storage" : "the data directory is on rotating storage";
        if (ssd)
            items.Refine("random_page_cost", "1.1", values[randomPageCostIndex], storage + ": a random read costs little more than a sequential one");
        const std::string concurrency = ssd ? "200" : "2";
        const std::string readsAtOnce = storage + (ssd ? ", which serves many reads at once" : ", which serves few reads at once");
        items.Set("effective_io_concurrency", concurrency, v < ServerVersion{18, 0} ? "1" : "16", readsAtOnce);
        items.Set("maintenance_io_concurrency", concurrency, v < ServerVersion{18, 0} ? "10" : "16", readsAtOnce);
    }

    std::uint64_t connections = plan.connections;
    if (facts.maxConnectionsNow && *facts.maxConnectionsNow > connections) {
        connections = std::min<std::uint64_t>(*facts.maxConnectionsNow, 262143);
        // Up to 8.3 the server wants two buffers per server process.
        if (v < ServerVersion{8, 4})
            connections = std::min<std::uint64_t>(connections, std::min(plan.sharedBuffers, plan.ramKilobytes) / 8 / 2 - 4);
        items.Refine("max_connections", std::to_string(connections), values[maxConnectionsIndex],
                     "the server allows " + std::to_string(*facts.maxConnectionsNow)
                         + " connections today; fewer would turn applications away");
    }
    items.Refine("work_mem", onMachine(WorkMemKilobytes(plan, connections, request, profile)), values[workMemIndex],
                 "the memory for sorts shared by " + std::to_string(connections) + " connections");
    const std::uint64_t maintenanceWorkMem = MaintenanceWorkMemKilobytes(plan, request, profile);
    items.Refine("maintenance_work_mem", onMachine(maintenanceWorkMem), values[maintenanceWorkMemIndex],
                 "a sixteenth of the memory share, at most 8GB");
    if (maintenanceWorkMem > 1024 * 1024) {
        const std::uint64_t autovacuum = v < ServerVersion{17, 0} ? 1024 * 1024 : std::min<std::uint64_t>(maintenanceWorkMem, 2 * 1024 * 1024);
        items.Set("autovacuum_work_mem", onMachine(autovacuum), "-1",
                  "autovacuum workers run at once and would each take all of maintenance_work_mem");
    }

    if (!development) {
        std::uint64_t maxWalMegabytes = !dedicated ? 2048 : request.ramMegabytes < 16 * 1024 ? 4096 : request.ramMegabytes < 64 * 1024 ? 8192 : 16384;
        std::string walReason = "fewer checkpoints under a steady load of writes";
        const bool roomForWal = !facts.walFreeMegabytes || *facts.walFreeMegabytes / 4 >= 1024;
        if (facts.walFreeMegabytes && *facts.walFreeMegabytes / 4 < maxWalMegabytes) {
            maxWalMegabytes = *facts.walFreeMegabytes / 4;
            walReason += ", at most a quarter of the WAL folder's free space";
        }
        if (roomForWal) {
            items.Set("max_wal_size", MemoryText(maxWalMegabytes * 1024), "1GB", walReason);
            items.Set("min_wal_size", MemoryText(maxWalMegabytes / 4 * 1024), "80MB", "a quarter of max_wal_size kept for reuse");
        }
    }
    items.Set("checkpoint_completion_target", "0.9", "0.5", "spreads each checkpoint's writes over most of the interval");

    if (facts.cpus && *facts.cpus >= 4) {
        const std::uint64_t c = *facts.cpus;
        const std::string processors = std::to_string(c) + " processors";
        const std::uint64_t workerProcesses = std::max<std::uint64_t>(8, std::min<std::uint64_t>(c, 262143));
        items.Set("max_worker_processes", std::to_string(workerProcesses), "8", "room for a worker on each of " + processors);
        items.Set("max_parallel_workers", std::to_string(std::min<std::uint64_t>({c, workerProcesses, 1024})), "8",
                  "parallel queries may use each of " + processors);
        const std::uint64_t perGather = dedicated ? std::min<std::uint64_t>(4, HalfRoundedUp(c)) : 2;
        items.Set("max_parallel_workers_per_gather", std::to_string(perGather), v < ServerVersion{10, 0} ? "0" : "2",
                  "one query may use up to half of " + processors);
        items.Set("max_parallel_maintenance_workers", std::to_string(std::min<std::uint64_t>(4, HalfRoundedUp(c))), "2",
                  "an index build may use up to half of " + processors);
        if (c >= 16)
            items.Set("autovacuum_max_workers", c >= 32 ? "5" : "4", "3", "more tables vacuumed at once on " + processors);
        if (c >= 16)
            items.Set("io_workers", std::to_string(std::min<std::uint64_t>(32, c / 4)), "3", "a reader for every four of " + processors);
    }

    if (!development) {
        items.Set("jit", "off", "on", "compiling short queries costs more than it saves");
        const bool lz4 = !(v < ServerVersion{15, 0})
                         && std::find(facts.features.begin(), facts.features.end(), "lz4") != facts.features.end();
        items.Set("wal_compression", lz4 ? "lz4" : "on", "off", "less WAL written for each page image");
    }
    items.Set("default_statistics_target", "100", "10", "better plans for larger tables, the default of later versions");

    // The server needs its shared memory (about shared_buffers and a twentieth more, plus
    // 64MB) in huge pages, or with huge_pages=try it quietly goes without them.
    const std::uint64_t sharedBuffers = std::min(plan.sharedBuffers, plan.ramKilobytes);
    if (!(v < ServerVersion{9, 4}) && sharedBuffers >= 2 * 1024 * 1024 && facts.hugepagesTotal && facts.hugepageKilobytes) {
        const std::uint64_t needed = (sharedBuffers * 105 / 100 + 64 * 1024 + *facts.hugepageKilobytes - 1) / *facts.hugepageKilobytes;
        if (*facts.hugepagesTotal < needed)
            items.Advise("huge_pages", "reserve " + std::to_string(needed) + " huge pages (vm.nr_hugepages)");
    }
    return items.Take();
}
