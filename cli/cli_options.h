// The command line of pelloran-cli, read into one record; nothing is done here.
#pragma once

#include "tuning/machine_facts.h"

#include <wx/string.h>

#include <cstdint>
#include <optional>

// What a script may rely on; README and --help list them.
enum ExitCode : int {
    exitDone = 0,          // written, a dry run shown, or (with --exit-code) nothing to change
    exitChangesOrNo = 1,   // --dry-run --exit-code with changes, or the user answered no
    exitUsage = 64,        // bad command line, or a choice needed without a terminal
    exitNoInput = 66,      // no installation, or the named one or file does not exist
    exitUnavailable = 69,  // the service could not be reached or refused
    exitCannotWrite = 73,  // the backup or the save failed; nothing changed
    exitNoPermission = 77, // no right to read or replace the file
    exitConfigRefused = 78 // the server's own check refused the result
};

enum class ColorChoice { automatic, always, never };

struct CliOptions
{
    bool help = false;
    bool version = false;
    bool list = false;
    bool restore = false;
    wxString restoreStamp; // empty: choose among the backups
    wxString cluster;      // "15/main"
    int installation = 0;  // 1-based number of the list; 0: not given
    wxString confPath;
    wxString pgVersion;
    int usage = -1; // 0 development, 1 mixed, 2 dedicated; -1: ask
    std::optional<std::uint64_t> memoryBytes;
    std::optional<long> cpus;        // instead of the detected count
    std::optional<Storage> storage;  // instead of the detected kind; none: detect
    bool dryRun = false;
    bool exitCode = false;
    bool yes = false;
    wxString outPath;
    bool json = false;
    ColorChoice color = ColorChoice::automatic;
    bool quiet = false;
    wxString proxyHost;
    wxString proxyPort;
};

// Reads the arguments (without the program name); false with `error` saying what is wrong.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions& options, wxString& error);

// "16GB", "512MB", "1TB" (k, M, G, T with or without B, any case) in bytes.
std::optional<std::uint64_t> ParseMemorySize(const wxString& text);

// The text of --help.
wxString CliHelpText();
