// Small helpers for the tests of the Windows backends.
#pragma once

#include <string>

// Runs a command line (a program of the system, e.g. "reg.exe import x.reg") to its end;
// its exit code, or -1 when it could not be started or did not end within a minute.
int RunCommandLine(const std::wstring& commandLine);

// The folder of the running test program, where its fixtures are copied.
std::wstring TestProgramFolder();
