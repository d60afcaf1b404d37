// The written forms a tuned value may take. Whatever the tuning service answers goes into
// postgresql.conf as it is, so a value is let through only when it is one plain token the
// server reads as a setting of its parameter: never a second line, a quote, a comment or a
// figure too large for the server.
#pragma once

#include <cstddef>
#include <string_view>

// True when `value` is empty (no tuned value) or has the form of the parameter in `slot` of
// the tuning parameter table (max_connections is 0):
// - a whole number (max_connections, the free-space-map pair, checkpoint_segments, the two
//   autovacuum thresholds);
// - a whole number with an optional kB, MB, GB or TB for memory (shared_buffers, work_mem,
//   maintenance_work_mem, wal_buffers, effective_cache_size), or ms, s, min, h or d for time
//   (autovacuum_naptime);
// - digits with an optional fraction, at most 20 characters (random_page_cost, the two
//   autovacuum scale factors);
// - on, off, true or false (autovacuum, stats_row_level).
// A whole number is at most 2147483647, or with a unit at most 2147483647 8kB pages or
// seconds. False for anything else, and for a slot outside the table.
bool IsSoundTunedValue(std::size_t slot, std::string_view value);
