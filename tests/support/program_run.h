// Runs a program to its end (or a time limit) and collects what it printed.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProgramResult
{
    int exitCode = -1;   // the status a shell sees; 128+N after signal N
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
};

struct ProgramOptions
{
    std::map<std::string, std::string> environment; // added to (or replacing) this process's
    std::vector<std::string> unsetEnvironment;
    std::string standardInput;
    std::string workingDirectory;
    int timeoutSeconds = 60;
};

ProgramResult RunProgram(const std::vector<std::string>& command, const ProgramOptions& options = {});

// The pelloran executable under test, the source tree (fixtures) and the build tree.
std::string PelloranBinary();
std::string SourceDir();
std::string BuildDir();
