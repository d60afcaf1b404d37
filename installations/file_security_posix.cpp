// The held copy of a file's rights on this platform: owner, group, mode bits, the POSIX
// access ACL and the extended attributes that carry a security label.
#include "installations/file_security.h"
#include "installations/folder_posix.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <fcntl.h>

#include <wx/intl.h>
#include <wx/log.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace {

// Labels of mandatory access control modules; other "security." names (capabilities,
// integrity hashes) are the kernel's and are not ours to copy.
const char* const labelAttributes[] = {"security.selinux", "security.SMACK64", "security.apparmor"};

bool Unsupported(int error)
{
    return error == ENOTSUP || error == ENOSYS;
}

class AclHandle
{
public:
    explicit AclHandle(acl_t acl = nullptr) : acl(acl) {}
    ~AclHandle()
    {
        if (acl)
            acl_free(acl);
    }
    AclHandle(const AclHandle&) = delete;
    AclHandle& operator=(const AclHandle&) = delete;
    acl_t get() const { return acl; }

private:
    acl_t acl;
};

class PosixFileSecurity final : public FileSecurity
{
public:
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    // The access ACL in its external form when it says more than the mode bits; empty
    // otherwise. Numeric ids, so that a renamed account still gets its entry.
    std::string extendedAcl;
    std::vector<std::pair<std::string, std::string>> labels;
};

std::string NativePath(const wxString& path)
{
    const wxCharBuffer bytes = path.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

bool ReadAttribute(int fd, const char* name, std::string& value, bool& present)
{
    present = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return errno == ENODATA || Unsupported(errno);
        std::string buffer(static_cast<size_t>(size), '\0');
        const ssize_t read = fgetxattr(fd, name, buffer.data(), buffer.size());
        if (read >= 0) {
            buffer.resize(static_cast<size_t>(read));
            value = std::move(buffer);
            present = true;
            return true;
        }
        if (errno != ERANGE) // the label changed size between the two calls: ask again
            return false;
    }
    return false;
}

bool Capture(int fd, PosixFileSecurity& copy)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    copy.owner = status.st_uid;
    copy.group = status.st_gid;
    copy.mode = status.st_mode & 07777;

    AclHandle acl(acl_get_fd(fd));
    if (!acl.get()) {
        if (!Unsupported(errno))
            return false;
    } else {
        const int equivalent = acl_equiv_mode(acl.get(), nullptr);
        if (equivalent < 0)
            return false;
        if (equivalent == 1) {
            const ssize_t size = acl_size(acl.get());
            if (size <= 0)
                return false;
            copy.extendedAcl.assign(static_cast<size_t>(size), '\0');
            if (acl_copy_ext(copy.extendedAcl.data(), acl.get(), size) < 0)
                return false;
        }
    }

    for (const char* name : labelAttributes) {
        std::string value;
        bool present = false;
        if (!ReadAttribute(fd, name, value, present))
            return false;
        if (present)
            copy.labels.emplace_back(name, std::move(value));
    }
    return true;
}

bool SetAccessAcl(int fd, const PosixFileSecurity& copy)
{
    if (copy.extendedAcl.empty()) {
        // A minimal ACL drops any entries the file took over from its folder's default ACL.
        AclHandle minimal(acl_from_mode(copy.mode));
        if (!minimal.get())
            return false;
        if (acl_set_fd(fd, minimal.get()) == 0)
            return true;
        return Unsupported(errno);
    }
    // The whole ACL or nothing: its mask, not the mode's group bits, bounds the group.
    AclHandle acl(acl_copy_int(copy.extendedAcl.data()));
    return acl.get() && acl_valid(acl.get()) == 0 && acl_set_fd(fd, acl.get()) == 0;
}

bool Apply(int fd, const PosixFileSecurity& copy)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
    // Owner first: a change of owner clears the set-user-ID and set-group-ID bits.
    if (status.st_uid != copy.owner || status.st_gid != copy.group) {
        if (fchown(fd, copy.owner, copy.group) != 0)
            return false;
    }
    if (!copy.extendedAcl.empty()) {
        // The ACL before the mode, so that a refused ACL never leaves the mask's rights
        // handed to the owning group through the mode bits.
        if (!SetAccessAcl(fd, copy))
            return false;
        if (fchmod(fd, copy.mode) != 0)
            return false;
    } else {
        if (fchmod(fd, copy.mode) != 0)
            return false;
        if (!SetAccessAcl(fd, copy))
            return false;
    }
    for (const auto& label : copy.labels) {
        std::string current;
        bool present = false;
        if (ReadAttribute(fd, label.first.c_str(), current, present) && present && current == label.second)
            continue;
        if (fsetxattr(fd, label.first.c_str(), label.second.data(), label.second.size(), 0) != 0)
            return false;
    }
    // Some refusals are silent (a set-group-ID bit dropped for a group the caller is not in).
    if (fstat(fd, &status) != 0)
        return false;
    return status.st_uid == copy.owner && status.st_gid == copy.group && (status.st_mode & 07777) == copy.mode;
}

} // namespace

SecuredFile::~SecuredFile()
{
    if (file >= 0)
        ::close(static_cast<int>(file));
}

int OpenFolderOf(const std::string& path, std::string& name, wxString& reason)
{
    const std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    // A trailing slash would have the open follow a link after all.
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty())
        folder = "/";
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        reason = NotRegularRefusal();
        return -1;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // With O_DIRECTORY a link is refused as "not a directory": say what it is.
        struct stat status;
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
            reason = _("Its folder is a symbolic link, which is not followed.");
        else
            reason = wxSysErrorMsgStr(error);
        errno = error; // the caller tells a missing folder from a refused one
    }
    return fd;
}

FileOpen SecuredFile::Open(const wxString& path, wxString& refusal)
{
    std::string name;
    const int folder = OpenFolderOf(NativePath(path), name, refusal);
    if (folder < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            refusal.clear(); // only rights are missing
        return error == ENOENT ? FileOpen::missing : FileOpen::refused;
    }
    // Looked at first, so that a device or a pipe is never opened at all.
    struct stat status = {};
    int fd = -1;
    const bool found = ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && S_ISREG(status.st_mode))
        fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = errno;
    ::close(folder);
    if (fd >= 0) {
        file = fd;
        // The name may have changed since it was looked at: what counts is what the open found.
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
            return FileOpen::opened;
        refusal = NotRegularRefusal();
        return FileOpen::refused;
    }
    if (!found && error == ENOENT)
        return FileOpen::missing;
    if (found && S_ISLNK(status.st_mode))
        refusal = SymbolicLinkRefusal();
    else if (found && !S_ISREG(status.st_mode))
        refusal = NotRegularRefusal();
    else if (error == ELOOP) // a link put there since it was looked at
        refusal = SymbolicLinkRefusal();
    else if (error != EACCES && error != EPERM)
        refusal = wxSysErrorMsgStr(error);
    return FileOpen::refused;
}

std::unique_ptr<FileSecurity> ReadFileSecurity(NativeFile file)
{
    auto copy = std::make_unique<PosixFileSecurity>();
    if (!Capture(static_cast<int>(file), *copy))
        return nullptr;
    return copy;
}

bool WriteFileSecurity(NativeFile file, const FileSecurity& rights)
{
    return Apply(static_cast<int>(file), static_cast<const PosixFileSecurity&>(rights));
}

bool MayRestoreFileSecurity(NativeFile file, const FileSecurity& rights)
{
    // Writing the copy back is the proof: only the owner or root can.
    return WriteFileSecurity(file, rights);
}

bool MayWriteFile(const wxString& path)
{
    // With the effective ids, as the open that writes would use them.
    return ::faccessat(AT_FDCWD, NativePath(path).c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

bool MayReadFile(const wxString& path)
{
    return ::faccessat(AT_FDCWD, NativePath(path).c_str(), R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}
