#include "cli/terminal.h"

#include <unistd.h>

bool InputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool OutputIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool EnableTerminalColours()
{
    return true;
}
