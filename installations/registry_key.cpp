#include "installations/registry_key.h"

#include "installations/text_codec.h"

#include <cstring>

namespace {

// Sub-key names longer than the enumeration's buffer (1023 units with the NUL) end it.
const size_t maxSubKeyNameLength = 1022;

std::uint32_t ViewFlags(const RegistryBackend& registry, int view)
{
    return view == registryView64 && registry.Is64BitSystem() ? keyWow64_64Key : keyWow64_32Key;
}

// The code units of the data, a trailing odd byte left out: nothing past the data is read,
// whatever its size or terminator.
size_t UnitCount(const std::vector<unsigned char>& data)
{
    return data.size() / 2;
}

unsigned Unit(const std::vector<unsigned char>& data, size_t index)
{
    return data[2 * index] | (data[2 * index + 1] << 8);
}

} // namespace

std::vector<unsigned char> Utf16FromText(const wxString& text)
{
    std::vector<unsigned char> bytes;
    AppendUtf16Le(bytes, text);
    bytes.insert(bytes.end(), 2, 0);
    return bytes;
}

RegistryKey::RegistryKey(const RegistryBackend& backend, RegistryRoot root, const wxString& path, bool write,
                         std::uint32_t viewFlags)
    : backend(backend), root(root), path(path), viewFlags(viewFlags), write(write)
{
}

bool RegistryKey::Open()
{
    handle = backend.OpenKey(root, path, (write ? keyAllAccess : keyRead) | viewFlags);
    return handle != nullptr;
}

std::unique_ptr<RegistryKey> RegistryKey::GetFirstSubKey(long& index) const
{
    index = 0;
    return GetNextSubKey(index);
}

std::unique_ptr<RegistryKey> RegistryKey::GetNextSubKey(long& index) const
{
    if (index < 0 || !handle)
        return nullptr;
    wxString name;
    if (!handle->EnumSubKey(static_cast<unsigned long>(index), name) || name.length() > maxSubKeyNameLength) {
        index = -1;
        return nullptr;
    }
    ++index;
    const wxString childPath = path.empty() ? name : path + wxT("\\") + name;
    auto child = std::make_unique<RegistryKey>(backend, root, childPath, write, viewFlags);
    if (!child->Open())
        return nullptr;
    return child;
}

bool RegistryKey::QueryString(const wxString& name, wxString& value) const
{
    std::uint32_t type = regNone;
    std::vector<unsigned char> data;
    if (!handle || !handle->QueryValue(name, type, data))
        return false;
    value.clear();
    if (data.empty())
        return true;

    // Each text ends at its first NUL or at the end of the data, whichever comes first.
    const size_t units = UnitCount(data);
    auto textAt = [&data, units](size_t start, size_t& end) {
        end = start;
        while (end < units && Unit(data, end) != 0)
            ++end;
        return DecodeUtf16Replacing(
            std::string_view(reinterpret_cast<const char*>(data.data()) + 2 * start, 2 * (end - start)), false);
    };

    size_t end = 0;
    if (type == regMultiSz) {
        size_t start = 0;
        bool first = true;
        while (start < units) {
            const wxString element = textAt(start, end);
            if (element.empty())
                break; // the empty element that closes the list
            if (!first)
                value += wxT("\n\r");
            value += ExpandEnvironmentReferences(element);
            first = false;
            start = end + 1;
        }
    } else if (type == regExpandSz) {
        value = ExpandEnvironmentReferences(textAt(0, end));
    } else {
        value = textAt(0, end);
    }
    return true;
}

bool RegistryKey::QueryDword(const wxString& name, std::uint32_t& value) const
{
    std::uint32_t type = regNone;
    std::vector<unsigned char> data;
    if (name.empty() || !handle || !handle->QueryValue(name, type, data))
        return false;
    if (type != regDword && type != regDwordBigEndian)
        return false;
    // Shorter data would leave bytes unread, longer would not fit: either is no number.
    if (data.size() != 4)
        return false;
    // The bytes as stored, read as this machine reads a 32-bit number.
    std::memcpy(&value, data.data(), 4);
    return true;
}

std::unique_ptr<RegistryKey> OpenRegistryKey(const RegistryBackend& registry, RegistryRoot root, const wxString& path,
                                             bool write, int view)
{
    wxString keyPath = path;
    if (!keyPath.empty() && keyPath.Last() == wxT('\\'))
        keyPath.RemoveLast();
    auto key = std::make_unique<RegistryKey>(registry, root, keyPath, write, ViewFlags(registry, view));
    if (!key->Open())
        return nullptr;
    return key;
}

namespace {

// Read on the GUI thread only, as everything that lists installations is.
std::unique_ptr<RegistryBackend>& CurrentMachineRegistry()
{
    static std::unique_ptr<RegistryBackend> registry;
    return registry;
}

} // namespace

const RegistryBackend& MachineRegistry()
{
    std::unique_ptr<RegistryBackend>& registry = CurrentMachineRegistry();
    if (!registry)
        registry = LoadThisMachineRegistry();
    return *registry;
}

std::unique_ptr<RegistryBackend> ReplaceMachineRegistry(std::unique_ptr<RegistryBackend> registry)
{
    CurrentMachineRegistry().swap(registry);
    return registry;
}

std::unique_ptr<RegistryKey> OpenRegistryKey(RegistryRoot root, const wxString& path, bool write, int view)
{
    return OpenRegistryKey(MachineRegistry(), root, path, write, view);
}
