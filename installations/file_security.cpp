// The access test and the held copy of the configuration file's rights, over the platform's
// way of reading and writing them.
#include "installations/file_security.h"
#include "installations/server.h"

bool Server::CheckConfAccess(wxString* refusal)
{
    const wxString path = GetConfFilePath();
    if (path.empty())
        return false;
    SecuredFile file;
    wxString why;
    switch (file.Open(path, why)) {
    case FileOpen::missing:
        return false;
    case FileOpen::refused:
        if (refusal && !why.empty())
            *refusal = path + wxT("\n") + why;
        return false;
    case FileOpen::opened:
        break;
    }
    // Before the rights are read: a file that cannot be written is refused without them.
    if (!MayWriteFile(path))
        return false;
    if (!CaptureFileSecurity(file.Get(), port == 0))
        return false;
    if (!MayRestoreFileSecurity(file.Get(), *fileSecurity)) {
        ReleaseFileSecurity();
        return false;
    }
    return true;
}

bool Server::CaptureFileSecurity(NativeFile file, bool refresh)
{
    if (!refresh && fileSecurity)
        return true;
    ReleaseFileSecurity();
    fileSecurity = ReadFileSecurity(file);
    return fileSecurity != nullptr;
}

bool Server::ApplyFileSecurity(NativeFile file)
{
    if (!fileSecurity)
        return true;
    return WriteFileSecurity(file, *fileSecurity);
}

bool Server::ApplyFileSecurity(const wxString& path)
{
    if (!fileSecurity)
        return true;
    SecuredFile file;
    wxString refusal;
    return file.Open(path, refusal) == FileOpen::opened && ApplyFileSecurity(file.Get());
}
