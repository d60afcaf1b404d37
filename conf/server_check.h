// The server's own program as the last judge of a file before it is saved: it reads the
// candidate as it would at start and refuses what it would refuse. Where it cannot run, the
// save goes on and the user is told that the server did not check the file.
#pragma once

#include "conf/merge_engine.h"

#include <wx/string.h>

#include <functional>
#include <string>
#include <vector>

class Server;

// A value the server refused, with its own words.
struct ServerRefusal
{
    wxString name; // empty when its message names no parameter
    wxString message;
};

struct ServerVerdict
{
    bool ran = false; // false: the program could not run; `whyNotRun` says why
    wxString whyNotRun;
    std::vector<ServerRefusal> refusals; // empty when it ran and took the file
};

// Asks the installation's server program, as the data directory's owner, what each of
// `names` would be with `candidate` as the configuration file at `confPath`. The candidate is
// written beside that file (so that its includes resolve alike) and removed afterwards.
ServerVerdict AskServer(const Server& server, const wxString& confPath, const std::string& candidate,
                        const std::vector<wxString>& names);

// Why the server's program cannot check the file of this installation; empty when it can.
wxString ServerCheckUnavailable(const Server& server, const wxString& confPath);

// The server's messages of one run, one refusal per line that names a parameter; a run that
// failed without such a line gives one refusal without a name.
std::vector<ServerRefusal> ReadServerRefusals(const std::string& output);

// What the server's check did to a save.
struct ServerCheckOutcome
{
    bool checked = false;
    wxString notice;                 // "did not check" with the reason, when not checked
    std::vector<wxString> dropped;   // settings beyond the 17 the server refused
};

// Merges with `merge`, asks the server about every name the merge changes, moves each setting
// beyond the 17 that it refuses to the server's `dropped` list (with its message) and merges
// again. A refusal of anything else stops with the server's own message in `error`; nothing
// is written here.
bool JudgeByServer(Server& server, const wxString& confPath, const std::function<bool(MergedLines&)>& merge,
                   ServerCheckOutcome& outcome, wxString& error);
