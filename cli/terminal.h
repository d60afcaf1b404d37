// What the program learns about its standard streams; each platform has its own file.
#pragma once

// True when standard input (or output) is a terminal a person answers at.
bool InputIsTerminal();
bool OutputIsTerminal();
// Lets the terminal on standard output read colour sequences; false when it cannot.
bool EnableTerminalColours();
