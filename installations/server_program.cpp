#include "installations/server_program.h"

#include "installations/file_path.h"
#include "installations/regular_file.h"

wxString ServerBitness(const wxString& program)
{
    const wxString wordSize = program.empty() ? wxString() : ProgramWordSize(program);
    return wordSize.empty() ? MachineWordSize() : wordSize;
}

wxString DataDirectoryVersion(const wxString& dataDirectory)
{
    // A folder without the file is the usual case, and one that is not a plain short file
    // tells no version: neither is an error for the user to see.
    std::string line;
    bool more = false;
    wxString reason;
    if (ReadFileStart(JoinPath(dataDirectory, wxT("PG_VERSION")), 31, line, more, reason) != FileRead::read)
        return wxString();
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    if (line.empty() || line[0] < '0' || line[0] > '9')
        return wxString();
    for (char c : line)
        if ((c < '0' || c > '9') && c != '.')
            return wxString();
    return wxString::FromAscii(line.c_str());
}
