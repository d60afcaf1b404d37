// Small helpers for the tests of the Windows backends.
#pragma once

#include <string>

// Runs a command line (a program of the system, e.g. "reg.exe import x.reg") to its end;
// its exit code, or -1 when it could not be started or did not end within a minute.
int RunCommandLine(const std::wstring& commandLine);

// The folder of the running test program, where its fixtures are copied.
std::wstring TestProgramFolder();

// A file's DACL in the security descriptor language, e.g. "D:(A;;FA;;;SY)(A;;0x1200a9;;;WD)";
// "unreadable" or "unconvertible" when it cannot be had.
std::string DaclText(const std::string& path);

// Whether the file's DACL has an entry for "Everyone".
bool EveryoneMayRead(const std::string& path);

// Gives the file the DACL of a descriptor text; false when it cannot.
bool SetDacl(const std::string& path, const char* sddl);

// System and administrators only, protected, as an administrator's configuration file may be.
// Administrators rather than "owner rights", which wine does not know; wine's user is an
// administrator.
extern const char* const restrictedDacl;
