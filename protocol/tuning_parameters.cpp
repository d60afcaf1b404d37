#include "protocol/tuning_parameters.h"

#include <algorithm>

const char* const tuningParameterNames[tuningParameterCount] = {
    "max_connections",
    "shared_buffers",
    "work_mem",
    "maintenance_work_mem",
    "max_fsm_pages",
    "max_fsm_relations",
    "wal_buffers",
    "checkpoint_segments",
    "random_page_cost",
    "effective_cache_size",
    "autovacuum",
    "autovacuum_naptime",
    "autovacuum_vacuum_threshold",
    "autovacuum_analyze_threshold",
    "autovacuum_vacuum_scale_factor",
    "autovacuum_analyze_scale_factor",
    "stats_row_level",
};

namespace {

// The first version without the parameter.
ServerVersion RemovedIn(std::size_t index)
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

bool ParameterExistsIn(std::size_t index, const ServerVersion& version)
{
    const ServerVersion removed = RemovedIn(index);
    if (removed.major == 0)
        return true;
    if (version.major <= 0)
        return false;
    return version < removed;
}

const char* const tunedServerVersions[tunedServerVersionCount] = {
    "18", "17", "16", "15", "14", "13", "12", "11", "10", "9.6",
    "9.5", "9.4", "9.3", "9.2", "9.1", "9.0", "8.4", "8.3", "8.2",
};

namespace {

constexpr std::int64_t largestInt = 2147483647;
// 262143 server processes, less the autovacuum workers (3), the launcher, the background
// workers (8) and the WAL senders (10) that a default configuration reserves beside them.
constexpr std::int64_t largestConnections = 262143 - 3 - 1 - 8 - 10;
// More than superuser_reserved_connections (3); on 10 and 11 also more than it plus
// max_wal_senders (10), which those versions count among the connections.
constexpr std::int64_t fewestConnections = 4;
constexpr std::int64_t fewestConnections10 = 14;

} // namespace

const ParameterForm tuningParameterForms[tuningParameterCount] = {
    // max_connections
    {ValueKind::count, 1, {{{{0, 0}, fewestConnections, largestConnections},
                            {{10, 0}, fewestConnections10, largestConnections},
                            {{12, 0}, fewestConnections, largestConnections}}}},
    // shared_buffers: 8kB blocks, at least 128kB
    {ValueKind::memory, 8, {{{{0, 0}, 16, largestInt / 2}}}},
    // work_mem
    {ValueKind::memory, 1, {{{{0, 0}, 64, largestInt}}}, true},
    // maintenance_work_mem
    {ValueKind::memory, 1, {{{{0, 0}, 1024, largestInt}, {{17, 0}, 64, largestInt}}}, true},
    // max_fsm_pages
    {ValueKind::count, 1, {{{{0, 0}, 1000, largestInt}}}},
    // max_fsm_relations
    {ValueKind::count, 1, {{{{0, 0}, 100, largestInt}}}},
    // wal_buffers: 8kB blocks, at least 32kB (before 9.1 less is refused), below 2GB
    {ValueKind::memory, 8, {{{{0, 0}, 4, largestInt / 8192}}}},
    // checkpoint_segments
    {ValueKind::count, 1, {{{{0, 0}, 1, largestInt}}}},
    // random_page_cost
    {ValueKind::decimal, 1, {{{{0, 0}, 0, INT64_MAX}}}},
    // effective_cache_size: 8kB pages
    {ValueKind::memory, 8, {{{{0, 0}, 1, largestInt}}}},
    // autovacuum
    {ValueKind::boolean, 1, {}},
    // autovacuum_naptime: seconds
    {ValueKind::time, 1000, {{{{0, 0}, 1, largestInt / 1000}}}},
    // autovacuum_vacuum_threshold
    {ValueKind::count, 1, {{{{0, 0}, 0, largestInt}}}},
    // autovacuum_analyze_threshold
    {ValueKind::count, 1, {{{{0, 0}, 0, largestInt}}}},
    // autovacuum_vacuum_scale_factor
    {ValueKind::decimal, 1, {{{{0, 0}, 0, 100}}}},
    // autovacuum_analyze_scale_factor
    {ValueKind::decimal, 1, {{{{0, 0}, 0, 100}}}},
    // stats_row_level
    {ValueKind::boolean, 1, {}},
};

Bounds ParameterBounds(std::size_t index, const ValueTarget& target)
{
    return FormBounds(tuningParameterForms[index], target);
}

Bounds FormBounds(const ParameterForm& form, const ValueTarget& target)
{
    Bounds bounds{form.ranges[0].least, form.ranges[0].most};
    for (const ValueRange& range : form.ranges) {
        if (range.least == 0 && range.most == 0)
            break; // the end of a shorter list
        if (target.version.major <= 0) { // unknown: what every version takes
            bounds.least = std::max(bounds.least, range.least);
            bounds.most = std::min(bounds.most, range.most);
        } else if (!(target.version < range.from)) {
            bounds = {range.least, range.most};
        }
    }
    const bool longIs32Bits = target.bits32 || (target.windows && target.version.major < 18);
    if (form.boundByLong && longIs32Bits)
        bounds.most = std::min<std::int64_t>(bounds.most, largestInt / 1024);
    return bounds;
}
