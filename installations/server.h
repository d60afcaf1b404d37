// One PostgreSQL installation the wizard can tune, and the tuned values it receives.
#pragma once

#include "installations/file_security.h"
#include "protocol/tuning_parameters.h"

#include <wx/clntdata.h>
#include <wx/string.h>

#include <array>
#include <memory>
#include <vector>

struct LineRewrite;

// A value of the protocol's extension that passed the wizard's checks, for a parameter
// beyond the 17; written with its reason on a note line.
struct ExtensionSetting
{
    wxString name;
    wxString value;
    wxString reason;
    bool restart = false; // takes effect only after the server restarts
};

// An item shown on the review page and never written: advice, or an item the wizard's
// checks (or the server's own) dropped, with the rule that dropped it.
struct ExtensionNotice
{
    wxString name;
    wxString text;
};

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
    // The extension's part of the exchange: the reason of a value it refined (empty: none),
    // the values beyond the 17, what is only shown, and whether its call failed.
    std::array<wxString, tuningParameterCount> reasons;
    std::vector<ExtensionSetting> extensionSettings;
    std::vector<ExtensionNotice> advice;
    std::vector<ExtensionNotice> dropped;
    bool extensionUnavailable = false;
    std::unique_ptr<FileSecurity> fileSecurity; // the held copy of the file's access rights
};
