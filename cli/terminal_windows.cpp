#include "cli/terminal.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

bool InputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
}

bool OutputIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

bool EnableTerminalColours()
{
    // A console draws colour sequences only when asked to (Windows 10 and later).
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) &&
           SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
