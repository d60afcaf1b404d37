// pelloran-cli: the wizard's road in a terminal, for servers without a display and for scripts.
#include "cli/cli_options.h"
#include "cli/terminal_road.h"

#include <wx/init.h>
#include <wx/log.h>

#include <clocale>
#include <iostream>

namespace {

// Messages as plain lines on standard error: no time stamps, no dialogs.
class ConsoleLog : public wxLog
{
protected:
    void DoLogRecord(wxLogLevel level, const wxString& text, const wxLogRecordInfo&) override
    {
        if (level <= wxLOG_Message)
            std::cerr << text.utf8_string() << std::endl;
    }
};

} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    wxInitializer toolkit(argc, argv);
    if (!toolkit.IsOk()) {
        std::cerr << "pelloran-cli: wxWidgets could not start." << std::endl;
        return exitCannotWrite;
    }
    delete wxLog::SetActiveTarget(new ConsoleLog);

    CliOptions options;
    wxString error;
    if (!ParseCliOptions(argc - 1, argv + 1, options, error)) {
        std::cerr << "pelloran-cli: " << error.utf8_string() << "\n\n" << CliHelpText().utf8_string();
        return exitUsage;
    }
    if (options.help) {
        std::cout << CliHelpText().utf8_string();
        return exitDone;
    }
    if (options.version) {
        std::cout << "pelloran-cli " PELLORAN_VERSION "\n";
        return exitDone;
    }
    return RunTerminalRoad(options);
}
