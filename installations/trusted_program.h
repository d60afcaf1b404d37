// Which programs of an installation the wizard may run. It runs as root from the menu entry,
// so a program that another account could have replaced would run that account's code as root.
#pragma once

#include <wx/string.h>

// The path to run for `program`, with every link resolved, when the file and every folder
// above it are owned by root and writable by neither group nor others (an access list that
// grants writing shows in the group bits). Run by an ordinary user, that user's own files
// also pass: what they replace runs with no more than their own rights. Empty when the
// program must not be run; what is needed is then read from files instead.
// Every program started for an installation goes through this rule.
wxString TrustedProgramPath(const wxString& program);
