// Placeholder until the rights layer lands: nothing is held, every file passes.
#include "installations/file_security.h"
#include "installations/server.h"

#include <wx/filename.h>

bool Server::CheckConfAccess()
{
    const wxString path = GetConfFilePath();
    return wxFileExists(path) && wxFileName::IsFileWritable(path);
}

bool Server::CaptureFileSecurity(const wxString&, bool)
{
    return true;
}

bool Server::ApplyFileSecurity(const wxString&)
{
    return true;
}

void Server::ReleaseFileSecurity()
{
    fileSecurity.reset();
}
