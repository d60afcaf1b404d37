// Reading and safely replacing files with the Windows file calls. The new content goes to a
// temporary file in the target's folder, which takes the target's place only once every
// byte is written and flushed and the target's rights are on it.
#include "conf/conf_file.h"

#include "conf/conf_text.h"
#include "installations/file_security.h"
#include "installations/regular_file.h"

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

// The file a link or junction names, so that the file is replaced and not the link.
bool FinalPath(const std::wstring& path, std::wstring& final)
{
    FileHandle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return false;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED);
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            final.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length + 1);
    }
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
    std::wstring target;
    if (!FullPath(path, target)) {
        reason = ErrorText(GetLastError());
        return false;
    }
    bool exists = false;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            reason = _("It is not a regular file.");
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !FinalPath(target, target)) {
            reason = ErrorText(GetLastError());
            return false;
        }
        // A file that another program holds without sharing cannot be replaced; finding that
        // out before anything is written leaves nothing behind, whatever ReplaceFileW would
        // leave on its way out.
        FileHandle probe(CreateFileW(target.c_str(), GENERIC_READ | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.get() == INVALID_HANDLE_VALUE) {
            reason = ErrorText(GetLastError());
            return false;
        }
        exists = true;
    } else if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND) {
        reason = ErrorText(error); // a missing folder too: nothing is created on the way
        return false;
    }

    const std::size_t separator = target.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? std::wstring(L".") : target.substr(0, separator);
    const std::wstring base = separator == std::wstring::npos ? target : target.substr(separator + 1);

    // A name of our own in the target's folder, so that the final step is a rename on one volume.
    std::wstring temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = folder + L"\\." + base + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                    std::to_wstring(attempt);
        created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)) {
            reason = ErrorText(GetLastError());
            return false;
        }
    }
    FileHandle file(created);
    const wxString temporaryPath(temporary);
    auto fail = [&](const wxString& why) {
        reason = why;
        if (file.get() != INVALID_HANDLE_VALUE)
            file.Close();
        DeleteFileW(temporary.c_str());
        return false;
    };

    DWORD error = 0;
    if (!WriteAll(file.get(), bytes, error))
        return fail(ErrorText(error));
    if (!FlushFileBuffers(file.get()))
        return fail(ErrorText(GetLastError()));
    if (!file.Close())
        return fail(ErrorText(GetLastError()));

    // The target's own rights first, so that a file with no held rights keeps what it had;
    // the held rights are given on top by `prepare`. The replace does not carry them over
    // everywhere.
    if (exists) {
        const std::unique_ptr<FileSecurity> rights = ReadFileSecurity(wxString(target));
        if (!rights || !WriteFileSecurity(temporaryPath, *rights))
            return fail(_("The access rights of the file could not be given to its replacement."));
    }
    wxString why;
    if (prepare && !prepare(temporaryPath, why))
        return fail(why);

    if (exists) {
        // No backup name: on every failure the old file keeps its name and its content.
        if (ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, 0, nullptr, nullptr))
            return true;
        const DWORD replaceError = GetLastError();
        if (replaceError != ERROR_FILE_NOT_FOUND || GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES)
            return fail(ErrorText(replaceError));
        // The target went away meanwhile: the content is simply moved into place.
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(ErrorText(GetLastError()));
    return true;
}
