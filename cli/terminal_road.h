// The wizard's road in a terminal: discovery, access test, exchange, merge, the server's
// check, backup and save; or putting a backup back. Returns the exit code (cli_options.h).
#pragma once

#include "cli/cli_options.h"

int RunTerminalRoad(const CliOptions& options);
