// Reading the machine registry: keys opened in an explicit view (32-bit or 64-bit), their
// sub-keys and their values, over a backend that supplies keys and raw value data.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <memory>
#include <vector>

enum class RegistryRoot { classesRoot, currentUser, localMachine, users, currentConfig };

// View selector given when a key is opened.
const int registryViewDefault = 0;
const int registryView32 = 1;
const int registryView64 = 2;

// Access-mask bits, with the values the registry itself uses.
const std::uint32_t keyRead = 0x20019;
const std::uint32_t keyAllAccess = 0xF003F;
const std::uint32_t keyWow64_64Key = 0x0100;
const std::uint32_t keyWow64_32Key = 0x0200;

// Value types.
const std::uint32_t regNone = 0;
const std::uint32_t regSz = 1;
const std::uint32_t regExpandSz = 2;
const std::uint32_t regBinary = 3;
const std::uint32_t regDword = 4;
const std::uint32_t regDwordBigEndian = 5;
const std::uint32_t regMultiSz = 7;
const std::uint32_t regQword = 11;

// An open key of a backend; closed when destroyed.
class RegistryBackendKey
{
public:
    virtual ~RegistryBackendKey() = default;
    // The name of sub-key `index` (0-based, in the registry's order); false past the last.
    virtual bool EnumSubKey(unsigned long index, wxString& name) const = 0;
    // The type and raw bytes of a value (the default value when `name` is empty); false
    // when it does not exist.
    virtual bool QueryValue(const wxString& name, std::uint32_t& type, std::vector<unsigned char>& data) const = 0;
};

class RegistryBackend
{
public:
    virtual ~RegistryBackend() = default;
    // Whether 32-bit programs run beside 64-bit ones, each with its own view of SOFTWARE.
    virtual bool Is64BitSystem() const = 0;
    // Opens root\path with the given access (view bits included); null when it cannot.
    virtual std::unique_ptr<RegistryBackendKey> OpenKey(RegistryRoot root, const wxString& path, std::uint32_t access) const = 0;
};

class RegistryKey
{
public:
    RegistryKey(const RegistryBackend& backend, RegistryRoot root, const wxString& path, bool write, std::uint32_t viewFlags);
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool Open();

    // Sets `index` to 0 and returns the first sub-key, or null.
    std::unique_ptr<RegistryKey> GetFirstSubKey(long& index) const;
    // Returns sub-key `index` and advances it, or null (and `index` -1) when there are no
    // more or one cannot be opened.
    std::unique_ptr<RegistryKey> GetNextSubKey(long& index) const;

    // Text of a value: REG_EXPAND_SZ expanded, REG_MULTI_SZ elements joined by "\n\r",
    // anything else up to its first NUL. False, `value` untouched, when there is no value.
    bool QueryString(const wxString& name, wxString& value) const;
    // True only for a REG_DWORD or REG_DWORD_BIG_ENDIAN value of four bytes.
    bool QueryDword(const wxString& name, std::uint32_t& value) const;

    const wxString& GetPath() const { return path; }

private:
    const RegistryBackend& backend;
    RegistryRoot root;
    std::unique_ptr<RegistryBackendKey> handle;
    wxString path;
    std::uint32_t viewFlags;
    bool write;
};

// Opens a key of `registry` in view 0, 1 or 2 (one trailing backslash of `path` dropped);
// null when it cannot be opened.
std::unique_ptr<RegistryKey> OpenRegistryKey(const RegistryBackend& registry, RegistryRoot root, const wxString& path,
                                             bool write, int view);
// The same on this machine's registry.
std::unique_ptr<RegistryKey> OpenRegistryKey(RegistryRoot root, const wxString& path, bool write, int view);

// This machine's registry, loaded on first use (from PELLORAN_REGISTRY when it is set).
const RegistryBackend& MachineRegistry();
// Puts `registry` in this machine's registry's place for the rest of the process and hands
// back the one it replaces, so that a test can give it back; null has the next use load it
// again. Keys opened on the replaced registry must be gone.
std::unique_ptr<RegistryBackend> ReplaceMachineRegistry(std::unique_ptr<RegistryBackend> registry);
// Reads this machine's registry; each platform has its own file.
std::unique_ptr<RegistryBackend> LoadThisMachineRegistry();

// %NAME% replaced by the environment variable NAME; unknown names stay as written.
wxString ExpandEnvironmentReferences(const wxString& text);

// The data of a text value: UTF-16LE with a terminating NUL unit.
std::vector<unsigned char> Utf16FromText(const wxString& text);
