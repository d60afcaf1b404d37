// The values a tuned parameter may take. Whatever the tuning service answers goes into
// postgresql.conf as it is, so a value is let through only when it is one plain token that
// the target server reads as the value meant and takes: never a second line, a quote or a
// comment, and never a figure outside the parameter's range there.
#pragma once

#include "protocol/tuning_parameters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The server the values are for, and the memory the wizard announced for its machine.
struct TunedTarget
{
    ValueTarget server;
    std::uint64_t memoryKilobytes = 0;
};

// True when `value` is empty (no tuned value) or a value that the parameter in `slot` of the
// tuning parameter table (max_connections is 0) takes on the target:
// - the form of its kind (tuning_parameters.h): digits without a leading zero (a bare 0
//   excepted, which the server would read as octal), memory units kB, MB, GB and TB (TB from
//   9.4 on), time units ms, s, min, h and d, a decimal of at most 20 characters;
// - within the parameter's range once converted to its own unit as the server converts it
//   (to the nearest from 12 on, truncated before; an unknown version must pass both);
// - for memory, at most the announced memory.
// False for anything else, and for a slot outside the table.
bool IsSoundTunedValue(std::size_t slot, std::string_view value, const TunedTarget& target);
// The same for a parameter of that form, in the form's bounds on the target.
bool IsSoundFormValue(const ParameterForm& form, std::string_view value, const TunedTarget& target);

// True when values that are each sound (by slot, empty for none) also go together on the
// target, which checks them against each other at start up to 8.3: shared_buffers holds at
// least two buffers per server process, and max_fsm_pages exceeds 16 pages per
// max_fsm_relations. A value left empty is not compared: the file keeps its own.
bool AreSoundTogether(const std::array<std::string_view, tuningParameterCount>& values, const TunedTarget& target);
