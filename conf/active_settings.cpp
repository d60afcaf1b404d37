#include "conf/active_settings.h"

#include "conf/conf_file.h"

#include <wx/filename.h>

namespace {

// Only ASCII white space counts; a no-break space is part of the text.
bool IsBlank(wxChar c)
{
    return c == wxT(' ') || c == wxT('\t') || c == wxT('\v') || c == wxT('\f') || c == wxT('\r') || c == wxT('\n');
}

wxString Unquoted(const wxString& value)
{
    if (value.length() < 2 || value[0] != wxT('\''))
        return value;
    wxString text;
    for (std::size_t at = 1; at < value.length(); ++at) {
        if (value[at] == wxT('\\') && at + 1 < value.length())
            text += value[++at];
        else if (value[at] == wxT('\'') && at + 1 < value.length() && value[at + 1] == wxT('\''))
            text += value[++at];
        else if (value[at] == wxT('\''))
            break;
        else
            text += value[at];
    }
    return text;
}

// The server's own bound on max_connections.
const long maxConnectionsLimit = 262143;

} // namespace

std::size_t SkipSettingBlanks(const wxString& text, std::size_t from)
{
    while (from < text.length() && IsBlank(text[from]))
        ++from;
    return from;
}

std::size_t SettingValueEnd(const wxString& line, std::size_t from)
{
    std::size_t at = from;
    if (at < line.length() && line[at] == wxT('\'')) {
        for (++at; at < line.length(); ++at) {
            if (line[at] == wxT('\\'))
                ++at;
            else if (line[at] == wxT('\'')) {
                if (at + 1 < line.length() && line[at + 1] == wxT('\''))
                    ++at;
                else
                    return at + 1;
            }
        }
        return line.length();
    }
    while (at < line.length() && line[at] != wxT(' ') && line[at] != wxT('\t') && line[at] != wxT('#'))
        ++at;
    return at;
}

wxString LastActiveValue(const std::vector<wxString>& lines, const wxString& name)
{
    wxString found;
    for (const wxString& line : lines) {
        const std::size_t at = SkipSettingBlanks(line, 0);
        if (line.substr(at, name.length()).CmpNoCase(name) != 0)
            continue;
        const std::size_t afterName = SkipSettingBlanks(line, at + name.length());
        // "max_connections_x" is another name; the server also takes a value without "=".
        std::size_t valueStart = afterName;
        if (afterName < line.length() && line[afterName] == wxT('='))
            valueStart = SkipSettingBlanks(line, afterName + 1);
        else if (afterName == at + name.length())
            continue;
        found = Unquoted(line.substr(valueStart, SettingValueEnd(line, valueStart) - valueStart));
    }
    return found;
}

namespace {

// The lines of the configuration file and of the data directory's postgresql.auto.conf
// (none when there is no such file); false when either cannot be read.
bool ReadBothFiles(const wxString& confFile, const wxString& dataDirectory, std::vector<wxString>& confLines,
                   std::vector<wxString>& automaticLines)
{
    wxString reason;
    if (ReadConfFile(confFile, confLines, reason) == ConfRead::failed)
        return false;
    const wxString dataFolder = DataDirectoryOf(confLines, confFile, dataDirectory);
    return ReadConfFile(wxFileName(dataFolder, wxT("postgresql.auto.conf")).GetFullPath(), automaticLines, reason)
           != ConfRead::failed;
}

} // namespace

wxString DataDirectoryOf(const std::vector<wxString>& confLines, const wxString& confFile,
                         const wxString& recordDirectory)
{
    const wxString named = LastActiveValue(confLines, wxT("data_directory"));
    if (wxFileName::DirName(named).IsAbsolute())
        return named;
    return recordDirectory.empty() ? wxFileName(confFile).GetPath() : recordDirectory;
}

wxString DataDirectoryOf(const wxString& confFile, const wxString& recordDirectory)
{
    std::vector<wxString> lines;
    wxString reason;
    ReadConfFile(confFile, lines, reason);
    return DataDirectoryOf(lines, confFile, recordDirectory);
}

std::vector<wxString> NamesSetAutomatically(const wxString& confFile, const wxString& dataDirectory,
                                            const std::vector<wxString>& names)
{
    std::vector<wxString> confLines, automaticLines, set;
    if (!ReadBothFiles(confFile, dataDirectory, confLines, automaticLines))
        return set;
    for (const wxString& name : names)
        if (!LastActiveValue(automaticLines, name).empty())
            set.push_back(name);
    return set;
}

std::optional<long> CurrentMaxConnections(const wxString& confFile, const wxString& dataDirectory)
{
    const wxString name = wxT("max_connections");
    std::vector<wxString> lines, automaticLines;
    if (!ReadBothFiles(confFile, dataDirectory, lines, automaticLines))
        return std::nullopt;
    wxString value = LastActiveValue(lines, name);
    const wxString automatic = LastActiveValue(automaticLines, name);
    if (!automatic.empty())
        value = automatic;
    long connections = 0;
    if (value.empty() || !value.IsNumber() || !value.ToLong(&connections) || connections < 1
        || connections > maxConnectionsLimit)
        return std::nullopt;
    return connections;
}
