#include "protocol/extension_parameters.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::int64_t largestInt = 2147483647;
constexpr std::int64_t largestBackends = 262143;
constexpr std::int64_t largestParallelWorkers = 1024;

const ParameterForm ioConcurrency{ValueKind::count, 1, {{{{0, 0}, 0, 1000}}}};
// No smaller than autovacuum_work_mem's least but for -1, which is its default anyway.
const ParameterForm autovacuumWorkMem{ValueKind::memory, 1, {{{{0, 0}, 1024, largestInt}}}, true};
// In MB (9.5 and 9.6 read a figure without a unit as 16MB segments: within range there too);
// at least two 16MB WAL segments, which the server checks at start.
const ParameterForm walSize{ValueKind::memory, 1024, {{{{0, 0}, 32, largestInt}}}, true, false};
const ParameterForm fraction{ValueKind::decimal, 1, {{{{0, 0}, 0, 1}}}};
const ParameterForm workerProcesses{ValueKind::count, 1, {{{{0, 0}, 1, largestBackends}}}};
const ParameterForm parallelWorkers{ValueKind::count, 1, {{{{0, 0}, 0, largestParallelWorkers}}}};
const ParameterForm autovacuumWorkers{ValueKind::count, 1, {{{{0, 0}, 1, largestBackends}}}};
const ParameterForm onOff{ValueKind::boolean, 1, {}};
const ParameterForm statisticsTarget{ValueKind::count, 1, {{{{0, 0}, 1, 1000}}}};
const ParameterForm ioWorkers{ValueKind::count, 1, {{{{0, 0}, 1, 32}}}};

// Whether `test` holds for one of the words of `text`, which spaces separate.
template <typename Test>
bool AnyWord(std::string_view text, Test test)
{
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        if (test(text.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

// Versions from the server's release notes; Windows lacks prefetching before 18.
const ExtensionParameter extensionParameters[extensionParameterCount] = {
    {"random_page_cost", {8, 2}, {}, {}, false, &tuningParameterForms[randomPageCostIndex]},
    {"effective_io_concurrency", {8, 4}, {}, {18, 0}, false, &ioConcurrency},
    {"maintenance_io_concurrency", {13, 0}, {}, {18, 0}, false, &ioConcurrency},
    {"max_connections", {8, 2}, {}, {}, true, &tuningParameterForms[maxConnectionsIndex]},
    {"work_mem", {8, 2}, {}, {}, false, &tuningParameterForms[workMemIndex]},
    {"maintenance_work_mem", {8, 2}, {}, {}, false, &tuningParameterForms[maintenanceWorkMemIndex]},
    {"autovacuum_work_mem", {9, 4}, {}, {}, false, &autovacuumWorkMem},
    {"max_wal_size", {9, 5}, {}, {}, false, &walSize},
    {"min_wal_size", {9, 5}, {}, {}, false, &walSize},
    {"checkpoint_completion_target", {8, 3}, {14, 0}, {}, false, &fraction},
    {"max_worker_processes", {9, 4}, {}, {}, true, &workerProcesses},
    {"max_parallel_workers", {10, 0}, {}, {}, false, &parallelWorkers},
    {"max_parallel_workers_per_gather", {9, 6}, {}, {}, false, &parallelWorkers},
    {"max_parallel_maintenance_workers", {11, 0}, {}, {}, false, &parallelWorkers},
    {"autovacuum_max_workers", {8, 3}, {}, {}, true, &autovacuumWorkers},
    {"jit", {12, 0}, {}, {}, false, &onOff},
    {"wal_compression", {9, 5}, {}, {}, false, &onOff, "pglz lz4 zstd", {15, 0}},
    {"default_statistics_target", {8, 2}, {8, 4}, {}, false, &statisticsTarget},
    {"io_workers", {18, 0}, {}, {}, false, &ioWorkers},
};

const ExtensionParameter* FindExtensionParameter(std::string_view name)
{
    for (const ExtensionParameter& parameter : extensionParameters)
        if (name == parameter.name)
            return &parameter;
    return nullptr;
}

bool ExtensionParameterApplies(const ExtensionParameter& parameter, const ServerVersion& version, bool windows)
{
    if (version.major <= 0 || version < parameter.from)
        return false;
    if (parameter.until.major != 0 && !(version < parameter.until))
        return false;
    return !windows || parameter.windowsFrom.major == 0 || !(version < parameter.windowsFrom);
}

bool IsSoundExtensionValue(const ExtensionParameter& parameter, std::string_view value, const TunedTarget& target)
{
    if (value.empty())
        return false;
    const auto isValue = [value](std::string_view word) { return word == value; };
    if (!(target.server.version < parameter.wordsFrom) && AnyWord(parameter.words, isValue))
        return true;
    return IsSoundFormValue(*parameter.form, value, target);
}

std::string ExtensionTestSuffix()
{
    return " ext=" + std::to_string(extensionVersion);
}

std::string ExtensionRequestTag()
{
    return "ext/" + std::to_string(extensionVersion);
}

int AnnouncedExtensionVersion(std::string_view testText)
{
    constexpr std::string_view key = "ext=";
    int version = 0;
    AnyWord(testText, [&](std::string_view word) {
        const std::string_view digits = word.substr(std::min(word.size(), key.size()));
        if (word.substr(0, key.size()) != key || digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        version = std::stoi(std::string(digits));
        return true;
    });
    return version;
}

const char* ExtensionKindName(ExtensionKind kind)
{
    switch (kind) {
    case ExtensionKind::set:
        return "set";
    case ExtensionKind::refine:
        return "refine";
    case ExtensionKind::advice:
        break;
    }
    return "advice";
}

bool ReadExtensionKind(std::string_view text, ExtensionKind& kind)
{
    for (const ExtensionKind known : {ExtensionKind::set, ExtensionKind::refine, ExtensionKind::advice})
        if (text == ExtensionKindName(known)) {
            kind = known;
            return true;
        }
    return false;
}
