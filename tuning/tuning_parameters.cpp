#include "tuning/tuning_parameters.h"

const wchar_t* const tuningParameterNames[tuningParameterCount] = {
    L"max_connections",
    L"shared_buffers",
    L"work_mem",
    L"maintenance_work_mem",
    L"max_fsm_pages",
    L"max_fsm_relations",
    L"wal_buffers",
    L"checkpoint_segments",
    L"random_page_cost",
    L"effective_cache_size",
    L"autovacuum",
    L"autovacuum_naptime",
    L"autovacuum_vacuum_threshold",
    L"autovacuum_analyze_threshold",
    L"autovacuum_vacuum_scale_factor",
    L"autovacuum_analyze_scale_factor",
    L"stats_row_level",
};

namespace {

struct Version
{
    int major;
    int minor;
};

// The first version without the parameter.
Version RemovedIn(std::size_t index)
{
    switch (index) {
    case maxFsmPagesIndex:
    case maxFsmRelationsIndex:
        return {8, 4}; // the free space map became automatic
    case checkpointSegmentsIndex:
        return {9, 5}; // replaced by max_wal_size
    case statsRowLevelIndex:
        return {8, 3}; // merged into track_counts
    default:
        return {0, 0};
    }
}

} // namespace

bool ParameterExistsIn(std::size_t index, int majorVersion, int minorVersion)
{
    const Version removed = RemovedIn(index);
    if (removed.major == 0)
        return true;
    if (majorVersion <= 0)
        return false;
    return majorVersion < removed.major || (majorVersion == removed.major && minorVersion < removed.minor);
}

const wchar_t* const tunedServerVersions[tunedServerVersionCount] = {
    L"18", L"17", L"16", L"15", L"14", L"13", L"12", L"11", L"10", L"9.6",
    L"9.5", L"9.4", L"9.3", L"9.2", L"9.1", L"9.0", L"8.4", L"8.3", L"8.2",
};
