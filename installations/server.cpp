#include "installations/server.h"

#include "installations/file_path.h"
#include "installations/file_security.h"


Server::Server() = default;

Server::~Server()
{
    ReleaseFileSecurity();
}

void Server::ReleaseFileSecurity()
{
    fileSecurity.reset();
}

void Server::SetVersion(const wxString& versionText)
{
    version = versionText;
    versionNumber = ReadServerVersion(versionText.utf8_string());
}

wxString Server::GetConfFilePath() const
{
    if (port != 0)
        return JoinPath(dataDirectory, wxT("postgresql.conf"));
    return baseDirectory;
}
