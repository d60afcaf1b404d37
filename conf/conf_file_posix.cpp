#include "conf/conf_file_platform.h"

#include "installations/folder_posix.h"
#include "installations/regular_file.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <random>
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

// A name for the temporary file that another account cannot foresee and plant first.
std::string TemporaryName(const std::string& name)
{
    static std::random_device source;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(source()));
    return "." + name + "." + suffix;
}

} // namespace

// Writes the new content beside `path` and puts it in place: over the file that is there
// (`replace`), or under a name that must be free. Every step is relative to the folder opened
// once, and nothing found at a name is followed.
bool WriteFileInFolder(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare, bool replace,
                       wxString& reason)
{
    std::string name;
    FileDescriptor folder(OpenFolderOf(NativePath(path), name, reason));
    if (folder.get() < 0)
        return false;

    struct stat info;
    bool exists = false;
    if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!replace) {
            reason = _("Something is already there under that name; it has been left alone.");
            return false;
        }
        if (S_ISLNK(info.st_mode)) {
            reason = SymbolicLinkRefusal();
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            reason = NotRegularRefusal();
            return false;
        }
        exists = true;
    } else if (errno != ENOENT) {
        reason = ErrorText(errno);
        return false;
    }

    // The new content is written to an unnamed file where the file system allows it: a save
    // killed on the way leaves nothing in the folder, but for the instant between naming the
    // file and the rename. Elsewhere a named temporary file, created new, takes its place.
    std::string temporary;
    FileDescriptor file(::openat(folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    const bool unnamed = file.get() >= 0;
    for (unsigned attempt = 0; !unnamed && file.get() < 0; ++attempt) {
        temporary = TemporaryName(name);
        file.Reset(::openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600));
        if (file.get() < 0 && (errno != EEXIST || attempt > 100)) {
            reason = ErrorText(errno);
            return false;
        }
    }
    auto fail = [&](const wxString& why) {
        reason = why;
        if (!temporary.empty())
            ::unlinkat(folder.get(), temporary.c_str(), 0);
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
    if (prepare && !prepare(file.get(), why))
        return fail(why);
    if (::fsync(file.get()) != 0)
        return fail(ErrorText(errno));

    if (unnamed) {
        // Linking through the descriptor's name needs no privilege, unlike AT_EMPTY_PATH; a
        // link, like a rename, never follows a link found at the new name.
        const std::string handlePath = "/proc/self/fd/" + std::to_string(file.get());
        if (!replace) {
            if (::linkat(AT_FDCWD, handlePath.c_str(), folder.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
                return fail(errno == EEXIST ? _("Something is already there under that name; it has been left alone.")
                                            : ErrorText(errno));
            temporary = name; // a close that fails below takes the new file away again
        }
        for (unsigned attempt = 0; temporary.empty(); ++attempt) {
            const std::string candidate = TemporaryName(name);
            if (::linkat(AT_FDCWD, handlePath.c_str(), folder.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0)
                temporary = candidate;
            else if (errno != EEXIST || attempt > 100)
                return fail(ErrorText(errno));
        }
    }
    if (!file.Close())
        return fail(ErrorText(errno));

    if (replace) {
        if (::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0)
            return fail(ErrorText(errno));
    } else if (!unnamed) {
        if (::renameat2(folder.get(), temporary.c_str(), folder.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST)
                return fail(_("Something is already there under that name; it has been left alone."));
            // A file system without a rename that refuses to replace: a link refuses as well.
            if (errno != EINVAL && errno != ENOSYS)
                return fail(ErrorText(errno));
            if (::linkat(folder.get(), temporary.c_str(), folder.get(), name.c_str(), 0) != 0)
                return fail(errno == EEXIST ? _("Something is already there under that name; it has been left alone.")
                                            : ErrorText(errno));
            ::unlinkat(folder.get(), temporary.c_str(), 0);
        }
    }

    if (::fsync(folder.get()) != 0) {
        reason = _("The new content is in place, but its folder could not be synced: ") + ErrorText(errno);
        return false;
    }
    return true;
}
