// This machine's registry on Windows: the system's own, in the view each key is opened in.
// PELLORAN_REGISTRY names a .reg file or a folder of them to read instead, as on other
// platforms, so that tests can supply the keys.
#include "installations/registry_key.h"
#include "installations/registry_reg_file.h"

#include <wx/filefn.h>
#include <wx/utils.h>

#include <windows.h>

#include <iostream>

namespace {

// Sub-key names longer than this (the terminator included) end an enumeration.
const DWORD subKeyNameBufferLength = 1023;

HKEY SystemRoot(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::classesRoot:
        return HKEY_CLASSES_ROOT;
    case RegistryRoot::currentUser:
        return HKEY_CURRENT_USER;
    case RegistryRoot::localMachine:
        return HKEY_LOCAL_MACHINE;
    case RegistryRoot::users:
        return HKEY_USERS;
    case RegistryRoot::currentConfig:
        return HKEY_CURRENT_CONFIG;
    }
    return HKEY_LOCAL_MACHINE;
}

class WindowsRegistryKey final : public RegistryBackendKey
{
public:
    explicit WindowsRegistryKey(HKEY key) : key(key) {}
    ~WindowsRegistryKey() override { RegCloseKey(key); }
    WindowsRegistryKey(const WindowsRegistryKey&) = delete;
    WindowsRegistryKey& operator=(const WindowsRegistryKey&) = delete;

    bool EnumSubKey(unsigned long index, wxString& name) const override
    {
        wchar_t buffer[subKeyNameBufferLength];
        DWORD length = subKeyNameBufferLength;
        if (RegEnumKeyExW(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        name = wxString(buffer, length);
        return true;
    }

    bool QueryValue(const wxString& name, std::uint32_t& type, std::vector<unsigned char>& data) const override
    {
        const std::wstring valueName = name.ToStdWstring();
        DWORD valueType = REG_NONE;
        DWORD size = 0;
        LONG result = RegQueryValueExW(key, valueName.c_str(), nullptr, &valueType, nullptr, &size);
        // The value may grow between asking its size and reading it: ask again.
        for (int attempt = 0; result == ERROR_SUCCESS || result == ERROR_MORE_DATA; ++attempt) {
            if (attempt == 8)
                return false;
            data.assign(size, 0);
            result = RegQueryValueExW(key, valueName.c_str(), nullptr, &valueType, data.data(), &size);
            if (result == ERROR_SUCCESS) {
                data.resize(size);
                type = valueType;
                return true;
            }
        }
        return false;
    }

private:
    HKEY key;
};

class WindowsRegistry final : public RegistryBackend
{
public:
    bool Is64BitSystem() const override
    {
        // True for a 64-bit build, and for a 32-bit one running under WOW64.
        return wxIsPlatform64Bit();
    }

    std::unique_ptr<RegistryBackendKey> OpenKey(RegistryRoot root, const wxString& path, std::uint32_t access) const override
    {
        HKEY key = nullptr;
        const std::wstring subKey = path.ToStdWstring();
        if (RegOpenKeyExW(SystemRoot(root), subKey.c_str(), 0, access, &key) != ERROR_SUCCESS)
            return nullptr;
        return std::make_unique<WindowsRegistryKey>(key);
    }
};

} // namespace

std::unique_ptr<RegistryBackend> LoadThisMachineRegistry()
{
    wxString override;
    if (!wxGetEnv(wxT("PELLORAN_REGISTRY"), &override) || override.empty())
        return std::make_unique<WindowsRegistry>();
    // Exported from a machine like this one: on a 64-bit system the 32-bit view is in
    // SOFTWARE\Wow6432Node.
    auto files = std::make_unique<RegFileRegistry>(wxIsPlatform64Bit());
    if (wxDirExists(override))
        files->LoadFolder(override, std::cerr);
    else
        files->LoadFile(override, std::cerr);
    return files;
}
