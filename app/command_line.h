// The program's command line: only the help switch.
#pragma once

#include <wx/cmdline.h>

extern const wxCmdLineEntryDesc commandLineDescription[];

// Gives the parser the description and parses with usage display: 0 means go on; help
// and errors (any argument at all) mean stop, the parser having printed why.
int ParseCommandLine(wxCmdLineParser& parser);
