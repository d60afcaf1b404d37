#include "conf/configuration_file.h"

#include "conf/conf_text.h"
#include "installations/file_security.h"
#include "installations/server.h"

#include <wx/filefn.h>
#include <wx/intl.h>

namespace {

wxString ReadError(const wxString& path, const wxString& reason)
{
    return _("The configuration file could not be read: ") + path + wxT("\n") + reason;
}

} // namespace

PrepareReplacement GiveHeldRights(Server& server)
{
    return [&server](NativeFile temporary, wxString& reason) {
        if (server.ApplyFileSecurity(temporary))
            return true;
        reason = _("The access rights of the configuration file could not be given to it.");
        return false;
    };
}

bool MergeConfigurationFile(Server& server, const wxString& path, const wxDateTime& blockTime,
                            const StatusReport& report, MergedLines& merged, wxString& error)
{
    if (report)
        report(_("Reading ") + path + wxT(" ..."));
    std::vector<wxString> lines;
    wxString reason;
    switch (ReadConfFile(path, lines, reason)) {
    case ConfRead::failed:
        error = ReadError(path, reason);
        return false;
    case ConfRead::missing:
        merged = MergeConfigurationLines(server, nullptr, blockTime, report);
        return true;
    case ConfRead::read:
        break;
    }
    merged = MergeConfigurationLines(server, &lines, blockTime, report);
    return true;
}

bool WriteBackupFile(Server& server, const wxString& confPath, const wxString& backupPath, bool& written,
                     wxString& error)
{
    written = false;
    std::vector<wxString> lines;
    wxString reason;
    switch (ReadConfFile(confPath, lines, reason)) {
    case ConfRead::missing:
        return true;
    case ConfRead::failed:
        error = ReadError(confPath, reason) + _("\nNothing has been written.");
        return false;
    case ConfRead::read:
        break;
    }

    const wxString failed = _("The backup file could not be written: ") + backupPath + wxT("\n");
    const wxString untouched = _("\nThe configuration file has not been changed.");
    std::string bytes;
    for (const wxString& line : lines)
        AppendConfLine(bytes, line);
    // Made new, never over a name that is taken: the name is shown before the save, and
    // whoever may write the folder could have put a link to another file there.
    if (!CreateFileContent(backupPath, bytes, GiveHeldRights(server), reason)) {
        error = failed + reason + untouched;
        return false;
    }

    // The configuration file is only rewritten from a backup known to be whole.
    std::vector<wxString> readBack;
    if (ReadConfFile(backupPath, readBack, reason) != ConfRead::read || readBack != lines) {
        error = failed + _("It does not hold what was written.") + untouched;
        return false;
    }
    written = true;
    return true;
}

bool WriteConfigurationFile(Server& server, const wxString& confPath, MergedLines merged, const wxString& stamp,
                            wxString& error)
{
    if (wxFileExists(confPath)) {
        // A rename would replace a file this process may not write: ask first.
        if (!MayWriteFile(confPath)) {
            error = _("File Not Accessible: ") + confPath +
                    _("\nMake sure that you are running this application as an administrator.");
            return false;
        }
        if (!MayReadFile(confPath)) {
            error = _("File can not be oppened:") + confPath;
            return false;
        }
    }

    std::string bytes;
    std::vector<wxString> lines;
    while (std::unique_ptr<MergedLine> record = merged.PopFront()) {
        lines.clear();
        AppendAnnotatedLines(*record, stamp, lines);
        for (const wxString& line : lines)
            AppendConfLine(bytes, line);
    }

    wxString reason;
    if (!ReplaceFileContent(confPath, bytes, GiveHeldRights(server), reason)) {
        error = _("The configuration file could not be written: ") + confPath + wxT("\n") + reason +
                _("\nIt has been left as it was.");
        return false;
    }
    return true;
}
