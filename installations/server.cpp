#include "installations/server.h"

#include "installations/file_path.h"
#include "installations/file_security.h"

#include <cerrno>
#include <climits>
#include <cwchar>

Server::Server() = default;

Server::~Server()
{
    ReleaseFileSecurity();
}

void Server::ReleaseFileSecurity()
{
    fileSecurity.reset();
}

int LeadingInteger(const wxString& text)
{
    const std::wstring wide = text.ToStdWstring();
    errno = 0;
    const long value = std::wcstol(wide.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

void Server::SetVersion(const wxString& versionText)
{
    version = versionText;
    const int dot = versionText.Find(wxT('.'));
    if (dot == wxNOT_FOUND) {
        majorVersion = LeadingInteger(versionText);
        minorVersion = 0;
    } else {
        majorVersion = LeadingInteger(versionText.Left(dot));
        minorVersion = LeadingInteger(versionText.Mid(dot + 1));
    }
}

wxString Server::GetConfFilePath() const
{
    if (port != 0)
        return JoinPath(dataDirectory, wxT("postgresql.conf"));
    return baseDirectory;
}
