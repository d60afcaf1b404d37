#include "installations/regular_file.h"

#include <wx/intl.h>

wxString SymbolicLinkRefusal()
{
    return _("It is a symbolic link, which is not followed.");
}

wxString NotRegularRefusal()
{
    return _("It is not a regular file.");
}

FileRead ReadFileStart(const wxString& path, std::size_t count, std::string& bytes, bool& more, wxString& reason)
{
    // One byte past the bound tells whether more follows.
    const FileRead result = ReadAtMost(path, count + 1, bytes, reason);
    more = result == FileRead::read && bytes.size() > count;
    if (more)
        bytes.resize(count);
    return result;
}

FileRead ReadRegularFile(const wxString& path, std::size_t limit, std::string& bytes, wxString& reason)
{
    bool more = false;
    const FileRead result = ReadFileStart(path, limit, bytes, more, reason);
    if (result == FileRead::read && more) {
        bytes.clear();
        reason = wxString::Format(_("It is larger than %zu MiB, more than any configuration file holds; it is not read."),
                                  limit >> 20);
        return FileRead::failed;
    }
    return result;
}
