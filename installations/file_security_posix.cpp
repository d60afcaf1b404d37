// The held copy of a file's rights on this platform: owner, group, mode bits, the POSIX
// access ACL and the extended attributes that carry a security label.
#include "installations/file_security.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <fcntl.h>

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

bool ReadAttribute(const std::string& path, const char* name, std::string& value, bool& present)
{
    present = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = getxattr(path.c_str(), name, nullptr, 0);
        if (size < 0)
            return errno == ENODATA || Unsupported(errno);
        std::string buffer(static_cast<size_t>(size), '\0');
        const ssize_t read = getxattr(path.c_str(), name, buffer.data(), buffer.size());
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

bool Capture(const std::string& path, PosixFileSecurity& copy)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    copy.owner = status.st_uid;
    copy.group = status.st_gid;
    copy.mode = status.st_mode & 07777;

    AclHandle acl(acl_get_file(path.c_str(), ACL_TYPE_ACCESS));
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
        if (!ReadAttribute(path, name, value, present))
            return false;
        if (present)
            copy.labels.emplace_back(name, std::move(value));
    }
    return true;
}

bool SetAccessAcl(const std::string& path, const PosixFileSecurity& copy)
{
    if (copy.extendedAcl.empty()) {
        // A minimal ACL drops any entries the file took over from its folder's default ACL.
        AclHandle minimal(acl_from_mode(copy.mode));
        if (!minimal.get())
            return false;
        if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, minimal.get()) == 0)
            return true;
        return Unsupported(errno);
    }
    // The whole ACL or nothing: its mask, not the mode's group bits, bounds the group.
    AclHandle acl(acl_copy_int(copy.extendedAcl.data()));
    return acl.get() && acl_valid(acl.get()) == 0 && acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl.get()) == 0;
}

bool Apply(const std::string& path, const PosixFileSecurity& copy)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    // Owner first: a change of owner clears the set-user-ID and set-group-ID bits.
    if (status.st_uid != copy.owner || status.st_gid != copy.group) {
        if (chown(path.c_str(), copy.owner, copy.group) != 0)
            return false;
    }
    if (!copy.extendedAcl.empty()) {
        // The ACL before the mode, so that a refused ACL never leaves the mask's rights
        // handed to the owning group through the mode bits.
        if (!SetAccessAcl(path, copy))
            return false;
        if (chmod(path.c_str(), copy.mode) != 0)
            return false;
    } else {
        if (chmod(path.c_str(), copy.mode) != 0)
            return false;
        if (!SetAccessAcl(path, copy))
            return false;
    }
    for (const auto& label : copy.labels) {
        std::string current;
        bool present = false;
        if (ReadAttribute(path, label.first.c_str(), current, present) && present && current == label.second)
            continue;
        if (setxattr(path.c_str(), label.first.c_str(), label.second.data(), label.second.size(), 0) != 0)
            return false;
    }
    // Some refusals are silent (a set-group-ID bit dropped for a group the caller is not in).
    if (stat(path.c_str(), &status) != 0)
        return false;
    return status.st_uid == copy.owner && status.st_gid == copy.group && (status.st_mode & 07777) == copy.mode;
}

} // namespace

std::unique_ptr<FileSecurity> ReadFileSecurity(const wxString& path)
{
    auto copy = std::make_unique<PosixFileSecurity>();
    if (!Capture(NativePath(path), *copy))
        return nullptr;
    return copy;
}

bool WriteFileSecurity(const wxString& path, const FileSecurity& rights)
{
    return Apply(NativePath(path), static_cast<const PosixFileSecurity&>(rights));
}

bool MayWriteFile(const wxString& path)
{
    // With the effective ids, as the open that writes would use them.
    return ::faccessat(AT_FDCWD, NativePath(path).c_str(), W_OK, AT_EACCESS) == 0;
}

bool MayReadFile(const wxString& path)
{
    return ::faccessat(AT_FDCWD, NativePath(path).c_str(), R_OK, AT_EACCESS) == 0;
}
