// The 17 configuration parameters the tuning service computes, in their fixed order.
// The index of a name is the slot of every per-parameter array (Server::values, the merge state).
#pragma once

#include <wx/string.h>

#include <cstddef>

constexpr std::size_t tuningParameterCount = 17;

// Index-aligned names, from max_connections (0) to stats_row_level (16).
extern const wxChar* const tuningParameterNames[tuningParameterCount];

// The server versions the tuning service tunes, newest first: it refuses servers older than
// the last and tunes newer ones than the first like the first.
constexpr std::size_t tunedServerVersionCount = 19;
extern const wxChar* const tunedServerVersions[tunedServerVersionCount];

// Slots whose parameter exists only in older servers.
enum TuningParameterIndex : std::size_t {
    maxConnectionsIndex = 0,
    maxFsmPagesIndex = 4,
    maxFsmRelationsIndex = 5,
    statsRowLevelIndex = 16,
};
