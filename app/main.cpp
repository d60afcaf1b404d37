// Entry point. The toolkit opens the display before the application starts, so a command
// line that can only end in the usage text (any argument does) is answered first, without
// one: an administrator over SSH gets the help too.
#include "app/command_line.h"
#include "app/tuning_tool.h"

#include <wx/msgout.h>

#include <clocale>

wxIMPLEMENT_APP_NO_MAIN(TuningTool);

int main(int argc, char** argv)
{
    if (argc > 1) {
        std::setlocale(LC_ALL, "");
        delete wxMessageOutput::Set(new wxMessageOutputStderr);
        wxCmdLineParser parser(argc, argv);
        if (ParseCommandLine(parser) != 0)
            return -1;
    }
    return wxEntry(argc, argv);
}
