// The access test and the held copy of the configuration file's rights, over the platform's
// way of reading and writing them.
#include "installations/file_security.h"
#include "installations/server.h"

#include <wx/filefn.h>

bool Server::CheckConfAccess()
{
    const wxString path = GetConfFilePath();
    if (path.empty() || !wxFileExists(path))
        return false;
    // Before the rights are read: a file that cannot be written is refused without them.
    if (!MayWriteFile(path))
        return false;
    if (!CaptureFileSecurity(path, port == 0))
        return false;
    // Writing the copy back proves that the rights can be given to the rewritten file.
    if (!ApplyFileSecurity(path)) {
        ReleaseFileSecurity();
        return false;
    }
    return true;
}

bool Server::CaptureFileSecurity(const wxString& path, bool refresh)
{
    if (!refresh && fileSecurity)
        return true;
    ReleaseFileSecurity();
    fileSecurity = ReadFileSecurity(path);
    return fileSecurity != nullptr;
}

bool Server::ApplyFileSecurity(const wxString& path)
{
    if (!fileSecurity)
        return true;
    return WriteFileSecurity(path, *fileSecurity);
}
