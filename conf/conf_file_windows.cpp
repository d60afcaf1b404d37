// Safely replacing files with the Windows file calls. The new content goes to a
// temporary file in the target's folder, which takes the target's place only once every
// byte is written and flushed and the target's rights are on it; its rights and its rename
// are given through its handle.
#include "conf/conf_file_platform.h"

#include "installations/file_security.h"
#include "installations/file_security_windows.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

wxString ErrorText(DWORD error)
{
    return wxSysErrorMsgStr(error);
}

class FileHandle
{
public:
    explicit FileHandle(HANDLE handle) : handle(handle) {}
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle; }
    bool Close()
    {
        const BOOL closed = CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

private:
    HANDLE handle;
};

// The absolute form of a path: ReplaceFileW refuses relative ones.
bool FullPath(const wxString& path, std::wstring& full)
{
    const std::wstring given = path.ToStdWstring();
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            full.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length);
    }
}

// Renames the open file, never following a link at the new name: with `replace` whatever is
// there is replaced (a link itself, not what it names), otherwise a name in use refuses.
bool RenameOpenFile(HANDLE file, const std::wstring& to, bool replace)
{
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<DWORD> buffer((sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(to.begin(), to.end(), info->FileName);
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size() * sizeof(DWORD))) !=
           FALSE;
}

wxString TakenName()
{
    return _("Something is already there under that name; it has been left alone.");
}

bool WriteAll(HANDLE file, const std::string& bytes, DWORD& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (written == 0) {
            error = ERROR_DISK_FULL;
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

// Writes the new content beside `path` and puts it in place by renaming the open temporary
// file: over the file that is there (`replace`), or under a name that must be free. No link
// or junction is followed, at the target or at its folder.
bool WriteFileInFolder(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare, bool replace,
                       wxString& reason)
{
    std::wstring target;
    if (!FullPath(path, target)) {
        reason = ErrorText(GetLastError());
        return false;
    }
    const std::size_t separator = target.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? std::wstring(L".") : target.substr(0, separator);
    const std::wstring base = separator == std::wstring::npos ? target : target.substr(separator + 1);

    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD asItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    {
        FileHandle folderHandle(
            CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, asItself, nullptr));
        if (folderHandle.get() == INVALID_HANDLE_VALUE) {
            reason = ErrorText(GetLastError()); // a missing folder too: nothing is created on the way
            return false;
        }
        if (IsLinkOrJunction(folderHandle.get())) {
            reason = _("Its folder is a symbolic link, which is not followed.");
            return false;
        }
    }

    // The target's own rights, so that a file with no held rights keeps what it had; the held
    // rights are given on top by `prepare`. A file that another program holds without sharing
    // cannot be replaced; finding that out before anything is written leaves nothing behind.
    std::unique_ptr<FileSecurity> targetRights;
    {
        FileHandle existing(
            CreateFileW(target.c_str(), READ_CONTROL | DELETE, share, nullptr, OPEN_EXISTING, asItself, nullptr));
        if (existing.get() != INVALID_HANDLE_VALUE) {
            if (!replace) {
                reason = TakenName();
                return false;
            }
            reason = RefusalOfOpenFile(existing.get());
            if (!reason.empty())
                return false;
            targetRights = ReadFileSecurity(reinterpret_cast<NativeFile>(existing.get()));
            if (!targetRights) {
                reason = _("The access rights of the file could not be given to its replacement.");
                return false;
            }
        } else if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND) {
            reason = ErrorText(error);
            return false;
        }
    }

    // A name of our own in the target's folder, so that the final step is a rename on one volume.
    std::wstring temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = folder + L"\\." + base + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                    std::to_wstring(attempt);
        created = CreateFileW(temporary.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC | DELETE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)) {
            reason = ErrorText(GetLastError());
            return false;
        }
    }
    FileHandle file(created);
    auto fail = [&](const wxString& why) {
        reason = why;
        FILE_DISPOSITION_INFO gone = {TRUE};
        SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof gone);
        file.Close();
        // Wine keeps rights as mode bits: rights without a write bit make the file read-only,
        // which refuses both ways of deleting it until the attribute goes.
        if (GetFileAttributesW(temporary.c_str()) != INVALID_FILE_ATTRIBUTES) {
            SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(temporary.c_str());
        }
        return false;
    };

    DWORD error = 0;
    if (!WriteAll(file.get(), bytes, error))
        return fail(ErrorText(error));
    if (targetRights && !WriteFileSecurity(reinterpret_cast<NativeFile>(file.get()), *targetRights))
        return fail(_("The access rights of the file could not be given to its replacement."));
    wxString why;
    if (prepare && !prepare(reinterpret_cast<NativeFile>(file.get()), why))
        return fail(why);
    if (!FlushFileBuffers(file.get()))
        return fail(ErrorText(GetLastError()));
    if (!RenameOpenFile(file.get(), target, replace)) {
        const DWORD renameError = GetLastError();
        return fail(!replace && renameError == ERROR_ALREADY_EXISTS ? TakenName() : ErrorText(renameError));
    }
    // In place under its name: a failed close loses nothing that the flush has not written.
    file.Close();
    return true;
}
