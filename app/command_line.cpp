#include "app/command_line.h"

const wxCmdLineEntryDesc commandLineDescription[] = {
    {wxCMD_LINE_SWITCH, "h", "help",
     "show this help message.\r\n\r\nPelloran helps to tune the PostgreSQL/Norvane database server based on your system configuration.\r\n",
     wxCMD_LINE_VAL_NONE, wxCMD_LINE_OPTION_HELP},
    {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
};

int ParseCommandLine(wxCmdLineParser& parser)
{
    parser.SetDesc(commandLineDescription);
    return parser.Parse(true);
}
