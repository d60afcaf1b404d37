#include "conf/conf_file_platform.h"

#include "conf/conf_text.h"
#include "installations/regular_file.h"

ConfRead ReadConfFile(const wxString& path, std::vector<wxString>& lines, wxString& reason)
{
    lines.clear();
    std::string bytes;
    switch (ReadRegularFile(path, configurationFileLimit, bytes, reason)) {
    case FileRead::missing:
        return ConfRead::missing;
    case FileRead::failed:
        return ConfRead::failed;
    case FileRead::read:
        break;
    }
    if (!DecodeConfText(bytes, lines, reason))
        return ConfRead::failed;
    return ConfRead::read;
}

bool ReplaceFileContent(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare,
                        wxString& reason)
{
    return WriteFileInFolder(path, bytes, prepare, true, reason);
}

bool CreateFileContent(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare,
                       wxString& reason)
{
    return WriteFileInFolder(path, bytes, prepare, false, reason);
}
