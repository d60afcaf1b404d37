#include "conf/tuned_save.h"

#include "conf/active_settings.h"
#include "conf/configuration_file.h"
#include "installations/file_path.h"
#include "installations/server.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/intl.h>

std::vector<wxString> SaveNotices(const Server& server)
{
    std::vector<wxString> notices;
    for (const ExtensionNotice& item : server.advice)
        notices.push_back(_("Advice, not written: ") + item.name + wxT(": ") + item.text);
    for (const ExtensionNotice& item : server.dropped)
        notices.push_back(_("Left out: ") + item.name + wxT(": ") + item.text);
    std::vector<wxString> written;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (!server.values[i].empty())
            written.push_back(wxString::FromAscii(tuningParameterNames[i]));
    for (const ExtensionSetting& setting : server.extensionSettings)
        written.push_back(setting.name);
    for (const wxString& name : NamesSetAutomatically(server.GetConfFilePath(), server.dataDirectory, written))
        notices.push_back(wxString::Format(_("postgresql.auto.conf also sets %s; the value set there wins."), name));
    if (server.extensionUnavailable)
        notices.push_back(_("The tuning service's extra values could not be had; its 17 values apply."));
    const wxString unavailable = ServerCheckUnavailable(server, server.GetConfFilePath());
    if (!unavailable.empty())
        notices.push_back(_("The server did not check the new configuration file: ") + unavailable);
    return notices;
}

TunedSave::TunedSave(const wxDateTime& now)
    : backupName(wxT("postgresql.conf.") + now.Format(wxT("%Y%m%d%H%M%S")))
{
}

wxString TunedSave::BackupPathOf(const Server& server) const
{
    wxString folder = server.dataDirectory;
    // A record without a folder must not put the backup at the root.
    if (folder.empty())
        folder = wxFileName(server.GetConfFilePath()).GetPath();
    return JoinPath(folder, backupName);
}

bool TunedSave::MergeFromSource(Server& server, const StatusReport& report, MergedLines& merged,
                                wxString& error) const
{
    const wxString confPath = server.GetConfFilePath();
    const wxString path = backupMade && backupSource == confPath ? BackupPathOf(server) : confPath;
    return MergeConfigurationFile(server, path, wxDateTime::Now(), report, merged, error);
}

bool TunedSave::CheckWithServer(Server& server, ServerCheckOutcome& outcome, wxString& error) const
{
    bool unreadable = false;
    auto merge = [&](MergedLines& merged) {
        wxString readError;
        unreadable = !MergeFromSource(server, nullptr, merged, readError);
        return !unreadable;
    };
    return JudgeByServer(server, server.GetConfFilePath(), merge, outcome, error) || unreadable;
}

bool TunedSave::WriteBackup(Server& server, wxString& error)
{
    const wxString confPath = server.GetConfFilePath();
    const wxString backupPath = BackupPathOf(server);
    if (!backupMade || backupSource != confPath) {
        backupMade = false;
        bool written = false;
        if (!WriteBackupFile(server, confPath, backupPath, written, error))
            return false;
        backupMade = true;
        backupSource = confPath;
        return true;
    }
    if (wxFileExists(backupPath) && !server.ApplyFileSecurity(backupPath)) {
        error = _("The access rights of the configuration file could not be given to the backup file: ") + backupPath;
        return false;
    }
    return true;
}

bool TunedSave::WriteTunedFile(Server& server, wxString& error) const
{
    MergedLines merged;
    if (!MergeFromSource(server, nullptr, merged, error))
        return false;
    return WriteConfigurationFile(server, server.GetConfFilePath(), std::move(merged), NoteTimeStamp(wxDateTime::Now()),
                                  error);
}
