// The merge, the backup and the save over real files, apart from any window. Each returns
// false with the text to show the user when it did not do its whole job.
#pragma once

#include "conf/conf_file.h"
#include "conf/merge_engine.h"

#include <wx/string.h>

class Server;

// Reports "Reading <path> ...", reads the file and merges it (a missing file merges as no
// file). A file that exists but cannot be read or decoded stops the merge with an error.
bool MergeConfigurationFile(Server& server, const wxString& path, const wxDateTime& blockTime,
                            const StatusReport& report, MergedLines& merged, wxString& error);

// Copies the configuration file's lines to a new file at the backup path (UTF-8, CR LF),
// with the held rights, then reads the backup back and checks it. Whatever is already at
// the backup path is refused and left alone. A missing configuration file makes no
// backup and is no error (`written` false).
bool WriteBackupFile(Server& server, const wxString& confPath, const wxString& backupPath, bool& written,
                     wxString& error);

// Writes the annotated records over the configuration file with the held rights. Refuses a
// file this process may not write or read; never leaves the file part-written.
bool WriteConfigurationFile(Server& server, const wxString& confPath, MergedLines merged, const wxString& stamp,
                            wxString& error);

// The rights step of a replace: the held rights given to the temporary file, and checked.
PrepareReplacement GiveHeldRights(Server& server);
