#include "installations/regular_file.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FileRead ReadAtMost(const wxString& path, std::size_t count, std::string& bytes, wxString& reason)
{
    bytes.clear();
    // O_NONBLOCK: opening a pipe or a device must not wait for a writer.
    const int fd = ::open(path.fn_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return FileRead::missing;
        reason = error == ELOOP ? SymbolicLinkRefusal() : wxSysErrorMsgStr(error);
        return FileRead::failed;
    }
    struct stat info;
    FileRead result = FileRead::read;
    if (::fstat(fd, &info) != 0) {
        reason = wxSysErrorMsgStr(errno);
        result = FileRead::failed;
    } else if (!S_ISREG(info.st_mode)) {
        reason = NotRegularRefusal();
        result = FileRead::failed;
    }
    // The size in the file's status is not trusted (files under /proc report none).
    char chunk[65536];
    while (result == FileRead::read && bytes.size() < count) {
        const std::size_t want = std::min(sizeof chunk, count - bytes.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            reason = wxSysErrorMsgStr(errno);
            result = FileRead::failed;
        } else if (got == 0) {
            break;
        } else {
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    if (result != FileRead::read)
        bytes.clear();
    return result;
}
