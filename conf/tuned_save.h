// The last steps of the road over one configuration file, shared by the wizard's review page
// and the terminal program: the server's check of the candidate, the backup (made once per
// file) and the save, merged again from that backup. Each returns false with the text to show
// the user when it did not do its whole job; nothing here shows anything.
#pragma once

#include "conf/merge_engine.h"
#include "conf/server_check.h"

#include <wx/datetime.h>
#include <wx/string.h>

class Server;

#include <vector>

// What the user is told before a save, one line each: advice and left-out values, values
// postgresql.auto.conf overrides, the extension's failure, and a check the server cannot make.
std::vector<wxString> SaveNotices(const Server& server);

class TunedSave
{
public:
    // The backup's name is fixed here, so that it can be announced before the save.
    explicit TunedSave(const wxDateTime& now = wxDateTime::Now());

    // The backup beside the configuration file (in the data directory of a discovered one).
    wxString BackupPathOf(const Server& server) const;
    // The merge of the configuration file, or of the backup once the save has made it.
    bool MergeFromSource(Server& server, const StatusReport& report, MergedLines& merged, wxString& error) const;
    // The server's judgement of the merged file; true also when the file cannot be merged,
    // whose reason the backup's step gives in its own words.
    bool CheckWithServer(Server& server, ServerCheckOutcome& outcome, wxString& error) const;
    // Writes the backup once per file; true when it is in place with the held rights.
    bool WriteBackup(Server& server, wxString& error);
    // Merges again from the backup and writes the configuration file.
    bool WriteTunedFile(Server& server, wxString& error) const;

    wxString backupName; // postgresql.conf.<YYYYmmddHHMMSS>
    bool backupMade = false;

private:
    // The configuration file the backup was made of: choosing another file afterwards
    // (after a refused save, Back to the welcome page) must not merge the wrong backup.
    wxString backupSource;
};
