// The 17 configuration parameters the tuning service computes, in their fixed order, and the
// values each server version takes for them.
// The index of a name is the slot of every per-parameter array (Server::values, the merge state).
// Free of the toolkit, so that the tuning service shares it with the wizard.
#pragma once

#include "protocol/server_version.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t tuningParameterCount = 17;

// Index-aligned names, from max_connections (0) to stats_row_level (16).
extern const char* const tuningParameterNames[tuningParameterCount];

// The server versions the tuning service tunes, newest first: it refuses servers older than
// the last and tunes newer ones than the first like the first.
constexpr std::size_t tunedServerVersionCount = 19;
extern const char* const tunedServerVersions[tunedServerVersionCount];

// Slots the code names: those whose parameter exists only in older servers, those that older
// servers check against each other, and those the extension refines.
enum TuningParameterIndex : std::size_t {
    maxConnectionsIndex = 0,
    sharedBuffersIndex = 1,
    workMemIndex = 2,
    maintenanceWorkMemIndex = 3,
    maxFsmPagesIndex = 4,
    maxFsmRelationsIndex = 5,
    checkpointSegmentsIndex = 7,
    randomPageCostIndex = 8,
    statsRowLevelIndex = 16,
};

// Whether a server of this version has the parameter; a server refuses to start from a file
// that sets one it does not have. An unknown version (major 0) has only the parameters that
// every version has: leaving an old parameter out keeps that server's default, while writing
// it into a newer server's file stops the server.
bool ParameterExistsIn(std::size_t index, const ServerVersion& version);

// How the server reads a parameter's value.
enum class ValueKind {
    count,   // a whole number
    memory,  // a whole number of the setting's unit, or with kB, MB, GB or TB
    time,    // a whole number of the setting's unit, or with ms, s, min, h or d
    decimal, // digits with an optional fraction
    boolean, // on, off, true or false
};

// The values a server takes for a parameter from one version on: whole numbers in the
// setting's own unit (8kB blocks, kB, seconds), or for a decimal the whole part.
struct ValueRange
{
    ServerVersion from;
    std::int64_t least = 0;
    std::int64_t most = 0;
};

// One row per parameter, index-aligned with tuningParameterNames.
struct ParameterForm
{
    ValueKind kind;
    int unitSize; // memory: kB in one unit of the setting; time: ms in one; otherwise 1
    // From the oldest version on; an entry replaces the one before it from its version.
    std::array<ValueRange, 3> ranges;
    // At most 2097151kB where the server's long is 32 bits (Windows up to 17, 32-bit builds).
    bool boundByLong = false;
    // A memory setting at most the announced memory; false for sizes on disk.
    bool boundByMemory = true;
};
extern const ParameterForm tuningParameterForms[tuningParameterCount];

// The server a value is meant for.
struct ValueTarget
{
    ServerVersion version; // unknown: only what every version takes
    bool windows = false;
    bool bits32 = false;
};

// The range of a parameter's values on that server, in the setting's own unit.
struct Bounds
{
    std::int64_t least;
    std::int64_t most;
};
Bounds ParameterBounds(std::size_t index, const ValueTarget& target);
Bounds FormBounds(const ParameterForm& form, const ValueTarget& target);
