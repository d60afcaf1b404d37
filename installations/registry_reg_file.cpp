#include "installations/registry_reg_file.h"

#include "installations/regular_file.h"
#include "installations/text_codec.h"
#include "protocol/hex_text.h"

#include <wx/dir.h>
#include <wx/filename.h>

#include <algorithm>
#include <ostream>
#include <sstream>
#include <unordered_map>

struct RegistryValue
{
    wxString name;
    std::uint32_t type = regNone;
    std::vector<unsigned char> data;
};

// Sub-keys keep the order in which they first appear, which for an exported file is the
// registry's own enumeration order. Names are looked up without regard to case, through
// indexes, so that a file with many keys or values loads in time linear in its size.
struct RegistryNode
{
    wxString name;
    std::unordered_map<wxString, RegistryNode*> childByName;    // by lower-case name
    std::unordered_map<wxString, RegistryValue> valueByName; // by lower-case name

    RegistryNode() = default;
    RegistryNode(const RegistryNode&) = delete;
    RegistryNode& operator=(const RegistryNode&) = delete;

    // A deep tree torn down by recursion would overflow the stack: the descendants are taken
    // apart one at a time instead.
    ~RegistryNode()
    {
        std::vector<std::unique_ptr<RegistryNode>> pending = std::move(children);
        while (!pending.empty()) {
            std::unique_ptr<RegistryNode> node = std::move(pending.back());
            pending.pop_back();
            std::move(node->children.begin(), node->children.end(), std::back_inserter(pending));
            node->children.clear();
        }
    }

    RegistryNode* Child(const wxString& childName) const
    {
        const auto found = childByName.find(childName.Lower());
        return found == childByName.end() ? nullptr : found->second;
    }
    RegistryNode* AddChild(const wxString& childName)
    {
        children.push_back(std::make_unique<RegistryNode>());
        RegistryNode* child = children.back().get();
        child->name = childName;
        childByName[childName.Lower()] = child;
        return child;
    }
    // The child stays in the order until the next enumeration or until removed ones are the
    // majority, so that removing many keys costs no more than adding them.
    void RemoveChild(const wxString& childName)
    {
        const auto found = childByName.find(childName.Lower());
        if (found == childByName.end())
            return;
        found->second->removed = true;
        childByName.erase(found);
        if (++removedChildren > children.size() / 2)
            DropRemoved();
    }
    const std::vector<std::unique_ptr<RegistryNode>>& Children()
    {
        if (removedChildren > 0)
            DropRemoved();
        return children;
    }

    RegistryValue* Value(const wxString& valueName)
    {
        const auto found = valueByName.find(valueName.Lower());
        return found == valueByName.end() ? nullptr : &found->second;
    }

private:
    void DropRemoved()
    {
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [](const std::unique_ptr<RegistryNode>& c) { return c->removed; }),
                       children.end());
        removedChildren = 0;
    }

    std::vector<std::unique_ptr<RegistryNode>> children;
    std::size_t removedChildren = 0;
    bool removed = false;
};

namespace {

const wxString header5 = wxT("Windows Registry Editor Version 5.00");
const wxString header4 = wxT("REGEDIT4");

size_t RootIndex(RegistryRoot root)
{
    return static_cast<size_t>(root);
}

bool RootFromName(const wxString& name, RegistryRoot& root)
{
    static const struct {
        const wxChar* full;
        const wxChar* brief;
        RegistryRoot root;
    } names[] = {
        {wxT("HKEY_CLASSES_ROOT"), wxT("HKCR"), RegistryRoot::classesRoot},
        {wxT("HKEY_CURRENT_USER"), wxT("HKCU"), RegistryRoot::currentUser},
        {wxT("HKEY_LOCAL_MACHINE"), wxT("HKLM"), RegistryRoot::localMachine},
        {wxT("HKEY_USERS"), wxT("HKU"), RegistryRoot::users},
        {wxT("HKEY_CURRENT_CONFIG"), wxT("HKCC"), RegistryRoot::currentConfig},
    };
    for (const auto& entry : names) {
        if (name.CmpNoCase(entry.full) == 0 || name.CmpNoCase(entry.brief) == 0) {
            root = entry.root;
            return true;
        }
    }
    return false;
}

// The registry's own limits: no key can be deeper or have a longer name, so a path beyond
// them is damaged or hostile.
const size_t maxKeyDepth = 512;
const size_t maxKeyNameLength = 255;

// Key names split at backslashes. Null when the path names a key the registry can hold,
// else why not.
const char* SplitPath(const wxString& path, std::vector<wxString>& names)
{
    names.clear();
    if (path.empty())
        return nullptr;
    wxString rest = path;
    if (rest.Last() == wxT('\\'))
        rest.RemoveLast();
    // Counted first, so that a path of a million levels is not split at all.
    if (static_cast<size_t>(std::count(rest.begin(), rest.end(), wxT('\\'))) >= maxKeyDepth)
        return "key deeper than 512 levels";
    size_t start = 0;
    while (true) {
        const size_t slash = rest.find(wxT('\\'), start);
        const wxString name = rest.substr(start, slash == wxString::npos ? wxString::npos : slash - start);
        if (name.empty())
            return "empty key name in the path";
        if (name.length() > maxKeyNameLength)
            return "key name longer than 255 characters";
        names.push_back(name);
        if (slash == wxString::npos)
            return nullptr;
        start = slash + 1;
    }
}

// The file's text, by its byte-order mark: UTF-16LE (also without a mark, as long as it
// starts with an ASCII character), UTF-16BE, UTF-8, else 8-bit Latin-1.
wxString DecodeFile(std::string_view bytes)
{
    const auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE)
        return DecodeUtf16Replacing(bytes.substr(2), false);
    if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF)
        return DecodeUtf16Replacing(bytes.substr(2), true);
    if (bytes.size() >= 2 && byte(0) != 0 && byte(0) < 0x80 && byte(1) == 0)
        return DecodeUtf16Replacing(bytes, false);
    size_t start = 0;
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        start = 3;
    wxString text;
    TextDecodeError notUtf8;
    if (DecodeText(bytes, start, TextEncoding::utf8, NulCharacter::kept, text, notUtf8))
        return text;
    return DecodeLatin1(bytes.substr(start));
}

// A quoted text starting at `position` (on the opening quote), with \\ and \" escapes;
// `position` ends after the closing quote. False when it is not closed.
bool ReadQuoted(const wxString& line, size_t& position, wxString& text)
{
    text.clear();
    for (size_t i = position + 1; i < line.length(); ++i) {
        const wxUniChar c = line[i];
        if (c == wxT('\\') && i + 1 < line.length() && (line[i + 1] == wxT('\\') || line[i + 1] == wxT('"'))) {
            text += line[i + 1];
            ++i;
        } else if (c == wxT('"')) {
            position = i + 1;
            return true;
        } else {
            text += c;
        }
    }
    return false;
}

// One to `maxDigits` hexadecimal digits and nothing else.
bool ParseHexNumber(const wxString& text, size_t maxDigits, std::uint32_t& number)
{
    if (text.empty() || text.length() > maxDigits)
        return false;
    number = 0;
    for (wxUniChar c : text) {
        const int digit = HexDigitValue(c.GetValue());
        if (digit < 0)
            return false;
        number = number * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

// "aa,bb, cc": bytes of one or two hex digits; a trailing comma is allowed.
bool ParseHexBytes(const wxString& text, std::vector<unsigned char>& bytes)
{
    bytes.clear();
    wxString list = text;
    list.Trim(true).Trim(false);
    if (list.empty())
        return true;
    if (list.Last() == wxT(','))
        list.RemoveLast();
    size_t start = 0;
    while (true) {
        const size_t comma = list.find(wxT(','), start);
        wxString item = list.substr(start, comma == wxString::npos ? wxString::npos : comma - start);
        item.Trim(true).Trim(false);
        std::uint32_t value = 0;
        if (!ParseHexNumber(item, 2, value))
            return false;
        bytes.push_back(static_cast<unsigned char>(value));
        if (comma == wxString::npos)
            return true;
        start = comma + 1;
    }
}

class RegFileKey : public RegistryBackendKey
{
public:
    explicit RegFileKey(RegistryNode* node) : node(node) {}

    bool EnumSubKey(unsigned long index, wxString& name) const override
    {
        const auto& children = node->Children();
        if (index >= children.size())
            return false;
        name = children[index]->name;
        return true;
    }

    bool QueryValue(const wxString& name, std::uint32_t& type, std::vector<unsigned char>& data) const override
    {
        const RegistryValue* value = node->Value(name);
        if (!value)
            return false;
        type = value->type;
        data = value->data;
        return true;
    }

private:
    RegistryNode* node;
};

} // namespace

RegFileRegistry::RegFileRegistry(bool is64BitSystem) : is64BitSystem(is64BitSystem)
{
    for (auto& root : roots)
        root = std::make_unique<RegistryNode>();
}

RegFileRegistry::~RegFileRegistry() = default;

bool RegFileRegistry::Is64BitSystem() const
{
    return is64BitSystem;
}

RegistryNode* RegFileRegistry::MakeKey(RegistryRoot root, const std::vector<wxString>& names)
{
    RegistryNode* node = roots[RootIndex(root)].get();
    for (const wxString& name : names) {
        RegistryNode* child = node->Child(name);
        node = child ? child : node->AddChild(name);
    }
    return node;
}

void RegFileRegistry::DeleteKey(RegistryRoot root, const std::vector<wxString>& names)
{
    if (names.empty())
        return;
    RegistryNode* parent = roots[RootIndex(root)].get();
    for (size_t i = 0; i + 1 < names.size() && parent; ++i)
        parent = parent->Child(names[i]);
    if (parent)
        parent->RemoveChild(names.back());
}

void RegFileRegistry::SetValue(RegistryRoot root, const wxString& path, const wxString& name, std::uint32_t type,
                               std::vector<unsigned char> data)
{
    std::vector<wxString> names;
    if (SplitPath(path, names))
        return;
    RegistryValue& value = MakeKey(root, names)->valueByName[name.Lower()];
    value.name = name;
    value.type = type;
    value.data = std::move(data);
}

void RegFileRegistry::SetString(RegistryRoot root, const wxString& path, const wxString& name, const wxString& text)
{
    SetValue(root, path, name, regSz, Utf16FromText(text));
}

void RegFileRegistry::SetDword(RegistryRoot root, const wxString& path, const wxString& name, std::uint32_t number)
{
    std::vector<unsigned char> data(4);
    for (size_t i = 0; i < 4; ++i)
        data[i] = static_cast<unsigned char>(number >> (8 * i));
    SetValue(root, path, name, regDword, std::move(data));
}

std::unique_ptr<RegistryBackendKey> RegFileRegistry::OpenKey(RegistryRoot root, const wxString& path,
                                                             std::uint32_t access) const
{
    std::vector<wxString> names;
    if (SplitPath(path, names))
        return nullptr;
    // What a 32-bit program asks for under SOFTWARE lives in SOFTWARE\Wow6432Node.
    if (is64BitSystem && (access & keyWow64_64Key) == 0 && root == RegistryRoot::localMachine && !names.empty()
        && names[0].CmpNoCase(wxT("SOFTWARE")) == 0
        && (names.size() < 2 || names[1].CmpNoCase(wxT("Wow6432Node")) != 0))
        names.insert(names.begin() + 1, wxT("Wow6432Node"));
    RegistryNode* node = roots[RootIndex(root)].get();
    for (const wxString& name : names) {
        node = node->Child(name);
        if (!node)
            return nullptr;
    }
    return std::make_unique<RegFileKey>(node);
}

bool RegFileRegistry::LoadFile(const wxString& path, std::ostream& warnings)
{
    // Bounded and never through a link or a pipe, as every file discovery reads.
    std::string bytes;
    wxString reason;
    switch (ReadRegularFile(path, configurationFileLimit, bytes, reason)) {
    case FileRead::missing:
        warnings << path.utf8_str() << ": cannot be read\n";
        return false;
    case FileRead::failed:
        warnings << path.utf8_str() << ": cannot be read: " << reason.utf8_str() << "\n";
        return false;
    case FileRead::read:
        break;
    }
    return LoadText(bytes, path, warnings);
}

bool RegFileRegistry::LoadFolder(const wxString& folder, std::ostream& warnings)
{
    wxDir dir;
    if (!wxDir::Exists(folder) || !dir.Open(folder)) {
        warnings << folder.utf8_str() << ": folder cannot be read\n";
        return false;
    }
    std::vector<wxString> names;
    wxString name;
    for (bool more = dir.GetFirst(&name, wxT("*.reg"), wxDIR_FILES); more; more = dir.GetNext(&name))
        names.push_back(name);
    std::sort(names.begin(), names.end());
    for (const wxString& file : names)
        LoadFile(wxFileName(folder, file).GetFullPath(), warnings);
    return true;
}

bool RegFileRegistry::LoadText(const std::string& bytes, const wxString& source, std::ostream& warnings)
{
    const std::vector<wxString> lines = SplitLines(DecodeFile(bytes));
    const std::string where(source.utf8_str());
    auto warn = [&warnings, &where](size_t line, const char* reason) {
        warnings << where << ":" << line << ": " << reason << "; line skipped\n";
    };

    size_t index = 0;
    while (index < lines.size() && wxString(lines[index]).Trim(true).Trim(false).empty())
        ++index;
    wxString first = index < lines.size() ? lines[index] : wxString();
    first.Trim(true).Trim(false);
    if (first != header5 && first != header4) {
        warnings << where << ":" << (index < lines.size() ? index + 1 : 1)
                 << ": not a registry file (the first line must be \"" << header5.utf8_str() << "\" or \""
                 << header4.utf8_str() << "\")\n";
        return false;
    }
    // The old format stores texts of hex values in 8-bit characters, the new in UTF-16LE.
    const bool eightBitTexts = first == header4;
    ++index;

    RegistryNode* current = nullptr;
    bool inBadKey = false; // values under a key line already reported are skipped quietly
    for (; index < lines.size(); ++index) {
        const size_t lineNumber = index + 1;
        wxString line = lines[index];
        line.Trim(true).Trim(false);
        if (line.empty() || line[0] == wxT(';'))
            continue;

        if (line[0] == wxT('[')) {
            current = nullptr;
            inBadKey = true;
            if (line.Last() != wxT(']')) {
                warn(lineNumber, "key name without a closing ']'");
                continue;
            }
            wxString path = line.Mid(1, line.length() - 2);
            const bool remove = path.StartsWith(wxT("-"));
            if (remove)
                path.Remove(0, 1);
            RegistryRoot root;
            std::vector<wxString> names;
            if (!RootFromName(path.BeforeFirst(wxT('\\')), root)) {
                warn(lineNumber, "unknown root key");
                continue;
            }
            if (const char* problem =
                    SplitPath(path.Find(wxT('\\')) == wxNOT_FOUND ? wxString() : path.AfterFirst(wxT('\\')), names)) {
                warn(lineNumber, problem);
                continue;
            }
            inBadKey = false;
            if (remove)
                DeleteKey(root, names);
            else
                current = MakeKey(root, names);
            continue;
        }

        if (line[0] != wxT('"') && line[0] != wxT('@')) {
            warn(lineNumber, "neither a key, a value nor a comment");
            continue;
        }
        wxString name;
        size_t position = 0;
        if (line[0] == wxT('@')) {
            position = 1;
        } else if (!ReadQuoted(line, position, name)) {
            warn(lineNumber, "value name without a closing quote");
            continue;
        }
        while (position < line.length() && (line[position] == wxT(' ') || line[position] == wxT('\t')))
            ++position;
        if (position >= line.length() || line[position] != wxT('=')) {
            warn(lineNumber, "no '=' after the value name");
            continue;
        }
        wxString data = line.Mid(position + 1);
        data.Trim(false);
        // Hexadecimal data goes on over lines that end with a backslash.
        if (data.Lower().StartsWith(wxT("hex"))) {
            while (!data.empty() && data.Last() == wxT('\\') && index + 1 < lines.size()) {
                data.RemoveLast();
                wxString next = lines[++index];
                next.Trim(true).Trim(false);
                data += next;
            }
        }
        if (!current) {
            if (!inBadKey)
                warn(lineNumber, "value outside any key");
            continue;
        }

        if (data == wxT("-")) {
            current->valueByName.erase(name.Lower());
            continue;
        }
        RegistryValue value;
        value.name = name;
        const wxString lower = data.Lower();
        if (data.StartsWith(wxT("\""))) {
            size_t end = 0;
            wxString text;
            wxString rest;
            if (!ReadQuoted(data, end, text) || !(rest = data.Mid(end)).Trim(true).empty()) {
                warn(lineNumber, "text value not properly quoted");
                continue;
            }
            value.type = regSz;
            value.data = Utf16FromText(text);
        } else if (lower.StartsWith(wxT("dword:"))) {
            std::uint32_t number = 0;
            if (!ParseHexNumber(data.Mid(6).Trim(true), 8, number)) {
                warn(lineNumber, "dword value needs one to eight hexadecimal digits");
                continue;
            }
            value.type = regDword;
            for (size_t i = 0; i < 4; ++i)
                value.data.push_back(static_cast<unsigned char>(number >> (8 * i)));
        } else if (lower.StartsWith(wxT("hex"))) {
            size_t colon = lower.find(wxT(':'));
            std::uint32_t type = regBinary;
            if (colon == wxString::npos) {
                warn(lineNumber, "hex value without ':'");
                continue;
            }
            const wxString kind = lower.Mid(3, colon - 3);
            if (!kind.empty()) {
                if (kind.length() < 3 || kind[0] != wxT('(') || kind.Last() != wxT(')')
                    || !ParseHexNumber(kind.Mid(1, kind.length() - 2), 8, type)) {
                    warn(lineNumber, "hex value type is not \"hex(N)\" with N in hexadecimal");
                    continue;
                }
            }
            if (!ParseHexBytes(data.Mid(colon + 1), value.data)) {
                warn(lineNumber, "hex value data is not a list of hexadecimal bytes");
                continue;
            }
            value.type = type;
            if (eightBitTexts && (type == regSz || type == regExpandSz || type == regMultiSz)) {
                std::vector<unsigned char> wide;
                for (unsigned char b : value.data) {
                    wide.push_back(b);
                    wide.push_back(0);
                }
                value.data = std::move(wide);
            }
        } else {
            warn(lineNumber, "value data is neither text, dword nor hex");
            continue;
        }
        current->valueByName[name.Lower()] = std::move(value);
    }
    return true;
}
