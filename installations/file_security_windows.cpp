// The held copy of a file's rights on Windows: its discretionary access control list, in an
// absolute security descriptor of its own, with the file's inheritance behaviour. Owner,
// group and audit entries are neither read nor written.
#include "installations/file_security.h"

#include <windows.h>

#include <vector>

namespace {

// GetFileSecurityW is asked at most this often while the descriptor keeps growing.
const int maximumSecurityReads = 12;

class WindowsFileSecurity final : public FileSecurity
{
public:
    WindowsFileSecurity() = default;
    WindowsFileSecurity(const WindowsFileSecurity&) = delete;
    WindowsFileSecurity& operator=(const WindowsFileSecurity&) = delete;

    mutable SECURITY_DESCRIPTOR descriptor{}; // the security calls take it as writable
    std::vector<DWORD> acl; // the ACL the descriptor points to, DWORD-aligned as ACLs must be
};

// The file's self-relative descriptor with its DACL; empty when it cannot be read.
std::vector<DWORD> ReadDescriptor(const wxString& path)
{
    DWORD needed = GetSidLengthRequired(2); // a first guess; the call says what it needs
    for (int attempt = 0; attempt < maximumSecurityReads; ++attempt) {
        std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
        if (GetFileSecurityW(path.wc_str(), DACL_SECURITY_INFORMATION, buffer.data(), size, &needed))
            return buffer;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size)
            return {};
    }
    return {};
}

bool CopyDacl(PSECURITY_DESCRIPTOR source, WindowsFileSecurity& copy)
{
    if (!InitializeSecurityDescriptor(&copy.descriptor, SECURITY_DESCRIPTOR_REVISION))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(source, &present, &dacl, &defaulted))
        return false;
    if (!present || dacl == nullptr) {
        // No DACL grants everyone everything; an empty one would grant nobody anything.
        // Keep the file's meaning: hold no DACL either.
        return SetSecurityDescriptorDacl(&copy.descriptor, TRUE, nullptr, FALSE) != FALSE;
    }
    ACL_SIZE_INFORMATION sizes{};
    if (!GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation))
        return false;
    copy.acl.assign((sizes.AclBytesInUse + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* acl = reinterpret_cast<PACL>(copy.acl.data());
    // The source's own revision: object entries need the newer one.
    const DWORD revision = dacl->AclRevision;
    if (!InitializeAcl(acl, static_cast<DWORD>(copy.acl.size() * sizeof(DWORD)), revision))
        return false;
    for (DWORD index = 0; index < sizes.AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            return false;
        if (!AddAce(acl, revision, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize))
            return false;
    }
    return SetSecurityDescriptorDacl(&copy.descriptor, TRUE, acl, FALSE) != FALSE;
}

// The copy inherits as the file did: entries from the folder flow in, or it is protected.
bool CopyInheritance(PSECURITY_DESCRIPTOR source, WindowsFileSecurity& copy)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(source, &control, &revision))
        return false;
    SECURITY_DESCRIPTOR_CONTROL bits = 0;
    if (control & SE_DACL_AUTO_INHERITED)
        bits = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    else if (control & SE_DACL_PROTECTED)
        bits = SE_DACL_PROTECTED;
    return bits == 0 || SetSecurityDescriptorControl(&copy.descriptor, bits, bits) != FALSE;
}

// Opens the file for the given access without disturbing it; a handle that others hold
// open does not make the file unusable, so sharing is granted in full.
HANDLE OpenExisting(const wxString& path, DWORD access)
{
    return CreateFileW(path.wc_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool MayOpen(const wxString& path, DWORD access)
{
    const HANDLE file = OpenExisting(path, access);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION; // the rights are there; it is only in use
    CloseHandle(file);
    return true;
}

} // namespace

std::unique_ptr<FileSecurity> ReadFileSecurity(const wxString& path)
{
    std::vector<DWORD> descriptor = ReadDescriptor(path);
    if (descriptor.empty())
        return nullptr;
    auto copy = std::make_unique<WindowsFileSecurity>();
    if (!CopyDacl(descriptor.data(), *copy) || !CopyInheritance(descriptor.data(), *copy))
        return nullptr;
    return copy;
}

bool WriteFileSecurity(const wxString& path, const FileSecurity& rights)
{
    const auto& copy = static_cast<const WindowsFileSecurity&>(rights);
    return SetFileSecurityW(path.wc_str(), DACL_SECURITY_INFORMATION, &copy.descriptor) != FALSE;
}

bool MayWriteFile(const wxString& path)
{
    // The read-only attribute refuses writing to everyone, whatever the DACL grants; said
    // first, as an administrator's handle would otherwise get past it on some systems.
    const DWORD attributes = GetFileAttributesW(path.wc_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return MayOpen(path, GENERIC_WRITE);
}

bool MayReadFile(const wxString& path)
{
    return MayOpen(path, GENERIC_READ);
}
