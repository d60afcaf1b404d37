#include "installations/server_program.h"

#include "installations/file_path.h"

#include <wx/ffile.h>
#include <wx/log.h>

wxString ServerBitness(const wxString& program)
{
    const wxString wordSize = program.empty() ? wxString() : ProgramWordSize(program);
    return wordSize.empty() ? MachineWordSize() : wordSize;
}

wxString DataDirectoryVersion(const wxString& dataDirectory)
{
    // A folder without the file is the usual case, not an error for the user to see.
    wxLogNull quiet;
    wxFFile in(JoinPath(dataDirectory, wxT("PG_VERSION")), wxT("rb"));
    if (!in.IsOpened())
        return wxString();
    char head[32] = {};
    const size_t got = in.Read(head, sizeof head - 1);
    std::string line(head, got);
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
