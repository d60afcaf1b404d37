#include "installations/regular_file.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <windows.h>

#include <algorithm>

FileRead ReadAtMost(const wxString& path, std::size_t count, std::string& bytes, wxString& reason)
{
    bytes.clear();
    // The reparse point itself is opened, never what it names; backup semantics lets a folder
    // open too, so that it is told apart from a file that cannot be read.
    const HANDLE file = CreateFileW(path.wc_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return FileRead::missing;
        // A folder that may not be opened is still no file: say so rather than "access denied".
        const DWORD attributes = GetFileAttributesW(path.wc_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            reason = NotRegularRefusal();
        else
            reason = wxSysErrorMsgStr(error);
        return FileRead::failed;
    }
    FileRead result = FileRead::read;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        reason = NotRegularRefusal();
        result = FileRead::failed;
    } else if (!GetFileInformationByHandle(file, &info)) {
        reason = wxSysErrorMsgStr(GetLastError());
        result = FileRead::failed;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        reason = SymbolicLinkRefusal();
        result = FileRead::failed;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        reason = NotRegularRefusal();
        result = FileRead::failed;
    }
    char chunk[65536];
    while (result == FileRead::read && bytes.size() < count) {
        const DWORD want = static_cast<DWORD>(std::min(sizeof chunk, count - bytes.size()));
        DWORD got = 0;
        if (!ReadFile(file, chunk, want, &got, nullptr)) {
            reason = wxSysErrorMsgStr(GetLastError());
            result = FileRead::failed;
        } else if (got == 0) {
            break;
        } else {
            bytes.append(chunk, got);
        }
    }
    CloseHandle(file);
    if (result != FileRead::read)
        bytes.clear();
    return result;
}
