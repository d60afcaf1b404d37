// Reading which value a configuration line sets, and what a server runs with now: the merge
// rewrites lines with the same reading, so both agree on where a value starts and ends.
#pragma once

#include <wx/string.h>

#include <cstddef>
#include <optional>
#include <vector>

// The position of the first character at or after `from` that is not ASCII white space; a
// no-break space is part of the text.
std::size_t SkipSettingBlanks(const wxString& text, std::size_t from);

// Where the value starting at `from` ends. A quoted value runs to its closing quote, past
// blanks, "#", doubled quotes and backslash escapes inside it; a quote that never closes
// takes the rest of the line, which the server could not read anyway. Any other value ends
// at the first blank or "#".
std::size_t SettingValueEnd(const wxString& line, std::size_t from);

// The value the last active "name = value" line of `lines` gives `name` (names compare
// without case, as the server's do; a quoted value comes without its quotes); empty when
// no active line sets it.
wxString LastActiveValue(const std::vector<wxString>& lines, const wxString& name);

// Where the data of the server that reads these configuration lines is: the data_directory
// they name (a packaged cluster's file lives apart from its data), else `recordDirectory`,
// else the file's own folder (a file chosen by hand usually lives in its data directory).
wxString DataDirectoryOf(const std::vector<wxString>& confLines, const wxString& confFile,
                         const wxString& recordDirectory);
// The same, reading the file; a file that cannot be read names no data_directory.
wxString DataDirectoryOf(const wxString& confFile, const wxString& recordDirectory);

// The max_connections a server runs with: its configuration file's, unless the data
// directory's postgresql.auto.conf (ALTER SYSTEM's file, read after it) sets one. The data
// directory is the one the file names as data_directory, `dataDirectory` when it names none.
// Not known when neither sets a whole number the server would take, or a file cannot be read.
std::optional<long> CurrentMaxConnections(const wxString& confFile, const wxString& dataDirectory);

// Which of `names` postgresql.auto.conf sets, found as above: the server reads that file
// last, so its values win over what the wizard writes. None when a file cannot be read.
std::vector<wxString> NamesSetAutomatically(const wxString& confFile, const wxString& dataDirectory,
                                            const std::vector<wxString>& names);
