// The real executable's command line, with and without a display.
#include "tests/support/program_run.h"

#include <gtest/gtest.h>

namespace {

const char* const description =
    "Pelloran helps to tune the PostgreSQL/Norvane database server based on your system configuration.";

} // namespace

TEST(CommandLineTest, EveryArgumentEndsWithUsageAndStatus255)
{
    struct Case {
        const char* description;
        std::vector<std::string> arguments;
        bool withDisplay;
        const char* expectedError; // empty: the help itself
    };
    const Case cases[] = {
        {"short help switch", {"-h"}, true, ""},
        {"long help switch", {"--help"}, true, ""},
        {"help without a display", {"--help"}, false, ""},
        {"short help without a display", {"-h"}, false, ""},
        {"a file name", {"somefile"}, true, "Unexpected parameter 'somefile'"},
        {"a file name without a display", {"somefile"}, false, "Unexpected parameter 'somefile'"},
        {"an unknown option", {"--verbose"}, true, "Unknown long option 'verbose'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> command{PelloranBinary()};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        ProgramOptions options;
        options.timeoutSeconds = 30;
        if (!c.withDisplay)
            options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
        const ProgramResult result = RunProgram(command, options);
        EXPECT_FALSE(result.timedOut) << c.description;
        EXPECT_EQ(result.exitCode, 255) << c.description;
        const std::string printed = result.standardOutput + result.standardError;
        EXPECT_NE(printed.find("Usage:"), std::string::npos) << c.description << ": " << printed;
        EXPECT_NE(printed.find(description), std::string::npos) << c.description << ": " << printed;
        EXPECT_NE(printed.find(c.expectedError), std::string::npos) << c.description << ": " << printed;
        EXPECT_EQ(printed.find("Gtk-WARNING"), std::string::npos) << c.description << ": no window is opened";
    }
}
