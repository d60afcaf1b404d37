#include "conf/conf_file.h"

#include "conf/conf_text.h"
#include "installations/regular_file.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string NativePath(const wxString& path)
{
    return std::string(path.fn_str());
}

wxString ErrorText(int error)
{
    return wxSysErrorMsgStr(error);
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }
    void Reset(int other)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }
    // Closes now and tells whether the close went well (a delayed write error shows here).
    bool Close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }

private:
    int fd;
};

bool WriteAll(int fd, const std::string& bytes, int& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        if (written == 0) {
            error = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

mode_t CurrentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
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
    std::string target = NativePath(path);
    struct stat info;
    bool exists = false;
    if (::lstat(target.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            char resolved[PATH_MAX];
            if (!::realpath(target.c_str(), resolved)) {
                reason = ErrorText(errno);
                return false;
            }
            target = resolved;
            if (::stat(target.c_str(), &info) != 0) {
                reason = ErrorText(errno);
                return false;
            }
        }
        if (!S_ISREG(info.st_mode)) {
            reason = _("It is not a regular file.");
            return false;
        }
        exists = true;
    } else if (errno != ENOENT) {
        reason = ErrorText(errno);
        return false;
    }

    const std::string folder = FolderOf(target);
    const std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    // The new content is written to an unnamed file where the file system allows it: a save
    // killed on the way leaves nothing in the folder, but for the instant between naming the
    // file and the rename. Elsewhere a named temporary file takes its place.
    std::string temporary;
    FileDescriptor file(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    const bool unnamed = file.get() >= 0;
    if (!unnamed) {
        temporary = folder + "/." + base + ".XXXXXX";
        file.Reset(::mkostemp(&temporary[0], O_CLOEXEC));
        if (file.get() < 0) {
            reason = ErrorText(errno);
            return false;
        }
    }
    // The rights are given through the descriptor's own name while the file has no other.
    const std::string handlePath = unnamed ? "/proc/self/fd/" + std::to_string(file.get()) : temporary;
    auto fail = [&](const wxString& why) {
        reason = why;
        if (!temporary.empty())
            ::unlink(temporary.c_str());
        return false;
    };

    // Start from the target's own owner and mode, so that a file with no held rights keeps
    // what it had; the held rights are given on top by `prepare`.
    if (exists) {
        if (::fchown(file.get(), info.st_uid, info.st_gid) != 0 && errno != EPERM)
            return fail(ErrorText(errno));
        if (::fchmod(file.get(), info.st_mode & 07777) != 0)
            return fail(ErrorText(errno));
    } else if (::fchmod(file.get(), 0666 & ~CurrentUmask()) != 0) {
        return fail(ErrorText(errno));
    }

    int error = 0;
    if (!WriteAll(file.get(), bytes, error))
        return fail(ErrorText(error));

    wxString why;
    if (prepare && !prepare(wxString(handlePath.c_str(), wxConvFile), why))
        return fail(why);
    if (::fsync(file.get()) != 0)
        return fail(ErrorText(errno));

    if (unnamed) {
        // Linking through the descriptor's name needs no privilege, unlike AT_EMPTY_PATH.
        for (unsigned attempt = 0; temporary.empty(); ++attempt) {
            const std::string name =
                folder + "/." + base + "." + std::to_string(::getpid()) + "." + std::to_string(attempt);
            if (::linkat(AT_FDCWD, handlePath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                temporary = name;
            else if (errno != EEXIST || attempt > 100)
                return fail(ErrorText(errno));
        }
    }
    if (!file.Close())
        return fail(ErrorText(errno));

    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return fail(ErrorText(errno));

    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0 || ::fsync(directory.get()) != 0) {
        reason = _("The new content is in place, but its folder could not be synced: ") + ErrorText(errno);
        return false;
    }
    return true;
}
