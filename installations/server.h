// One PostgreSQL installation the wizard can tune, and the tuned values it receives.
#pragma once

#include "tuning/tuning_parameters.h"

#include <wx/clntdata.h>
#include <wx/string.h>

#include <array>

class Server : public wxClientData
{
public:
    Server() = default;
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Sets version, majorVersion and minorVersion from a version text such as "8.3.7".
    void SetVersion(const wxString& versionText);

    // The data directory's postgresql.conf for a discovered installation (port not 0),
    // the hand-chosen file itself otherwise.
    wxString GetConfFilePath() const;

    int port = 0; // 0: a configuration file chosen by hand
    wxString displayName;
    int majorVersion = 0;
    int minorVersion = 0;
    wxString baseDirectory; // hand-chosen: the full path of the file
    wxString dataDirectory;
    wxString version;
    wxString superuser;
    wxString serviceAccount;
    wxString encoding;
    wxString locale;
    wxString bitness; // "32" or "64": the registry view it was found in
    std::array<wxString, tuningParameterCount> values; // empty: no tuned value
};

// The leading decimal integer of a text (after blanks and a sign), 0 when there is none.
int LeadingInteger(const wxString& text);
