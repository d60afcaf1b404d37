// The held copy of a file's rights on Windows: its discretionary access control list, in an
// absolute security descriptor of its own, with the file's inheritance behaviour. Owner,
// group and audit entries are neither read nor written.
#include "installations/file_security.h"

#include "installations/file_security_windows.h"
#include "installations/regular_file.h"

#include <wx/intl.h>
#include <wx/log.h>

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

// The open file's self-relative descriptor with its DACL; empty when it cannot be read.
std::vector<DWORD> ReadDescriptor(HANDLE file)
{
    DWORD needed = GetSidLengthRequired(2); // a first guess; the call says what it needs
    for (int attempt = 0; attempt < maximumSecurityReads; ++attempt) {
        std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
        if (GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, buffer.data(), size, &needed))
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
// open does not make the file unusable, so sharing is granted in full. A link is opened
// itself, not followed.
HANDLE OpenExisting(const wxString& path, DWORD access)
{
    return CreateFileW(path.wc_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool MayOpen(const wxString& path, DWORD access)
{
    const HANDLE file = OpenExisting(path, access);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION; // the rights are there; it is only in use
    CloseHandle(file);
    return true;
}

HANDLE Native(NativeFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

// The entries given to the file itself, not taken over from its folder, in their order.
std::vector<std::vector<BYTE>> ExplicitEntries(const WindowsFileSecurity& copy)
{
    std::vector<std::vector<BYTE>> entries;
    if (copy.acl.empty())
        return entries; // no DACL at all
    auto* acl = reinterpret_cast<PACL>(const_cast<DWORD*>(copy.acl.data()));
    ACL_SIZE_INFORMATION sizes{};
    if (!GetAclInformation(acl, &sizes, sizeof sizes, AclSizeInformation))
        return {{}}; // matches no readable list
    for (DWORD index = 0; index < sizes.AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(acl, index, &ace))
            return {{}};
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERITED_ACE)
            continue;
        const auto* bytes = static_cast<const BYTE*>(ace);
        entries.emplace_back(bytes, bytes + header->AceSize);
    }
    return entries;
}

bool SameRights(const WindowsFileSecurity& one, const WindowsFileSecurity& other)
{
    SECURITY_DESCRIPTOR_CONTROL controls[2] = {};
    DWORD revision = 0;
    return one.acl == other.acl && GetSecurityDescriptorControl(&one.descriptor, &controls[0], &revision) &&
           GetSecurityDescriptorControl(&other.descriptor, &controls[1], &revision) && controls[0] == controls[1];
}

} // namespace

SecuredFile::~SecuredFile()
{
    if (Native(file) != INVALID_HANDLE_VALUE)
        CloseHandle(Native(file));
}

FileOpen SecuredFile::Open(const wxString& path, wxString& refusal)
{
    // WRITE_DAC: the access test's proof that the rights can be given back.
    const HANDLE handle = OpenExisting(path, READ_CONTROL | WRITE_DAC);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return FileOpen::missing;
        if (error != ERROR_ACCESS_DENIED) // only rights missing: no reason of its own
            refusal = wxSysErrorMsgStr(error);
        return FileOpen::refused;
    }
    file = reinterpret_cast<NativeFile>(handle);
    refusal = RefusalOfOpenFile(handle);
    return refusal.empty() ? FileOpen::opened : FileOpen::refused;
}

bool IsLinkOrJunction(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag);
}

wxString RefusalOfOpenFile(HANDLE file)
{
    if (IsLinkOrJunction(file))
        return SymbolicLinkRefusal();
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information))
        return wxSysErrorMsgStr(GetLastError());
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(file) != FILE_TYPE_DISK)
        return NotRegularRefusal();
    return wxString();
}

std::unique_ptr<FileSecurity> ReadFileSecurity(NativeFile file)
{
    std::vector<DWORD> descriptor = ReadDescriptor(Native(file));
    if (descriptor.empty())
        return nullptr;
    auto copy = std::make_unique<WindowsFileSecurity>();
    if (!CopyDacl(descriptor.data(), *copy) || !CopyInheritance(descriptor.data(), *copy))
        return nullptr;
    return copy;
}

bool WriteFileSecurity(NativeFile file, const FileSecurity& rights)
{
    const auto& copy = static_cast<const WindowsFileSecurity&>(rights);
    if (!SetKernelObjectSecurity(Native(file), DACL_SECURITY_INFORMATION, &copy.descriptor))
        return false;
    // Some refusals are silent: wine keeps rights as the mode bits of the file's own owner and
    // drops the entries of another account. Entries taken over from the folder may differ.
    const std::unique_ptr<FileSecurity> given = ReadFileSecurity(file);
    return given && ExplicitEntries(static_cast<const WindowsFileSecurity&>(*given)) == ExplicitEntries(copy);
}

bool MayRestoreFileSecurity(NativeFile file, const FileSecurity& rights)
{
    // The file was opened for WRITE_DAC, which is the right asked about. Rights the file still
    // has are not written again: wine keeps them as mode bits, and writing back those of a
    // file another account owns took every bit away. A held copy that differs (the file's
    // rights changed since) is written back, as the access test always has.
    const std::unique_ptr<FileSecurity> current = ReadFileSecurity(file);
    if (current && SameRights(static_cast<const WindowsFileSecurity&>(*current),
                              static_cast<const WindowsFileSecurity&>(rights)))
        return true;
    return WriteFileSecurity(file, rights);
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
