// A registry held in memory and filled from files in the registry editor's export format
// (".reg": "Windows Registry Editor Version 5.00" in UTF-16LE or UTF-8, or "REGEDIT4").
#pragma once

#include "installations/registry_key.h"

#include <array>
#include <iosfwd>
#include <memory>

struct RegistryNode;

class RegFileRegistry : public RegistryBackend
{
public:
    // On a 64-bit system the 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE is read from
    // SOFTWARE\Wow6432Node, where a 64-bit machine stores and exports it.
    explicit RegFileRegistry(bool is64BitSystem = false);
    ~RegFileRegistry() override;

    // Adds the keys and values of one file; later files add to and override earlier ones.
    // Malformed lines are skipped with a warning naming file and line. False when the file
    // cannot be read or is not a registry file.
    bool LoadFile(const wxString& path, std::ostream& warnings);
    bool LoadText(const std::string& bytes, const wxString& source, std::ostream& warnings);
    // Every "*.reg" file of a folder, in name order. False when the folder cannot be read.
    bool LoadFolder(const wxString& folder, std::ostream& warnings);

    // Sets a value, making the key and its parents as needed.
    void SetValue(RegistryRoot root, const wxString& path, const wxString& name, std::uint32_t type,
                  std::vector<unsigned char> data);
    void SetString(RegistryRoot root, const wxString& path, const wxString& name, const wxString& text);
    void SetDword(RegistryRoot root, const wxString& path, const wxString& name, std::uint32_t number);

    bool Is64BitSystem() const override;
    std::unique_ptr<RegistryBackendKey> OpenKey(RegistryRoot root, const wxString& path, std::uint32_t access) const override;

private:
    RegistryNode* MakeKey(RegistryRoot root, const std::vector<wxString>& names);
    void DeleteKey(RegistryRoot root, const std::vector<wxString>& names);

    bool is64BitSystem;
    std::array<std::unique_ptr<RegistryNode>, 5> roots;
};
