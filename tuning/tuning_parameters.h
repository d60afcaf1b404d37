// The 17 configuration parameters the tuning service computes, in their fixed order.
// The index of a name is the slot of every per-parameter array (Server::values, the merge state).
// Free of the toolkit, so that the tuning service shares it with the wizard.
#pragma once

#include <cstddef>

constexpr std::size_t tuningParameterCount = 17;

// Index-aligned names, from max_connections (0) to stats_row_level (16).
extern const wchar_t* const tuningParameterNames[tuningParameterCount];

// The server versions the tuning service tunes, newest first: it refuses servers older than
// the last and tunes newer ones than the first like the first.
constexpr std::size_t tunedServerVersionCount = 19;
extern const wchar_t* const tunedServerVersions[tunedServerVersionCount];

// Slots whose parameter exists only in older servers.
enum TuningParameterIndex : std::size_t {
    maxConnectionsIndex = 0,
    maxFsmPagesIndex = 4,
    maxFsmRelationsIndex = 5,
    checkpointSegmentsIndex = 7,
    statsRowLevelIndex = 16,
};

// Whether a server of this version has the parameter; a server refuses to start from a file
// that sets one it does not have. An unknown version (major 0) has only the parameters that
// every version has: leaving an old parameter out keeps that server's default, while writing
// it into a newer server's file stops the server.
bool ParameterExistsIn(std::size_t index, int majorVersion, int minorVersion);
