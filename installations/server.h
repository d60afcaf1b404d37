// One PostgreSQL installation the wizard can tune, and the tuned values it receives.
#pragma once

#include "installations/file_security.h"
#include "protocol/tuning_parameters.h"

#include <wx/clntdata.h>
#include <wx/string.h>

#include <array>
#include <memory>

struct LineRewrite;

class Server : public wxClientData
{
public:
    Server();
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Sets version and versionNumber from a version text such as "8.3.7".
    void SetVersion(const wxString& versionText);

    // The data directory's postgresql.conf for a discovered installation (port not 0),
    // the hand-chosen file itself otherwise.
    wxString GetConfFilePath() const;

    // True when the configuration file exists, may be written, and its access rights are
    // held (captured afresh for a hand-chosen file, once for a discovered installation) and
    // could be written back onto it, which only its owner or root may do. A symbolic link or
    // anything but a regular file is refused, and `refusal` (when given) says so with the path.
    bool CheckConfAccess(wxString* refusal = nullptr);
    // Takes a copy of the open file's access rights unless one is held and no refresh is asked.
    bool CaptureFileSecurity(NativeFile file, bool refresh);
    // Gives the file the held rights; true when none are held or all of them took. The path
    // is opened as the access test opens the configuration file.
    bool ApplyFileSecurity(NativeFile file);
    bool ApplyFileSecurity(const wxString& path);
    void ReleaseFileSecurity();

    // Steps of the merge, defined with it in conf/merge_engine.cpp: one line rewritten with
    // the tuned values, and the next line of the block of parameters that no line named.
    LineRewrite RewriteLine(const wxString& line);
    wxString NextMissingSetting();

    int port = 0; // 0: a configuration file chosen by hand
    wxString displayName;
    ServerVersion versionNumber;
    wxString baseDirectory; // hand-chosen: the full path of the file
    wxString dataDirectory;
    wxString version;
    wxString superuser;
    wxString serviceAccount;
    wxString encoding;
    wxString locale;
    wxString bitness; // "32" or "64": the registry view it was found in
    std::array<wxString, tuningParameterCount> values; // empty: no tuned value
    std::unique_ptr<FileSecurity> fileSecurity; // the held copy of the file's access rights
};

// The leading decimal integer of a text (after blanks and a sign), 0 when there is none.
