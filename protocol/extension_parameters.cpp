#include "protocol/extension_parameters.h"

// Versions from the server's release notes; Windows lacks prefetching before 18.
const ExtensionParameter extensionParameters[extensionParameterCount] = {
    {"random_page_cost", {8, 2}, {}, {}, false},
    {"effective_io_concurrency", {8, 4}, {}, {18, 0}, false},
    {"maintenance_io_concurrency", {13, 0}, {}, {18, 0}, false},
    {"max_connections", {8, 2}, {}, {}, true},
    {"work_mem", {8, 2}, {}, {}, false},
    {"maintenance_work_mem", {8, 2}, {}, {}, false},
    {"autovacuum_work_mem", {9, 4}, {}, {}, false},
    {"max_wal_size", {9, 5}, {}, {}, false},
    {"min_wal_size", {9, 5}, {}, {}, false},
    {"checkpoint_completion_target", {8, 3}, {14, 0}, {}, false},
    {"max_worker_processes", {9, 4}, {}, {}, true},
    {"max_parallel_workers", {10, 0}, {}, {}, false},
    {"max_parallel_workers_per_gather", {9, 6}, {}, {}, false},
    {"max_parallel_maintenance_workers", {11, 0}, {}, {}, false},
    {"autovacuum_max_workers", {8, 3}, {}, {}, true},
    {"jit", {12, 0}, {}, {}, false},
    {"wal_compression", {9, 5}, {}, {}, false},
    {"default_statistics_target", {8, 2}, {8, 4}, {}, false},
    {"io_workers", {18, 0}, {}, {}, false},
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
