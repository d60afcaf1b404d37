#include "installations/file_path.h"
#include "installations/registry_key.h"
#include "installations/registry_reg_file.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <wx/utils.h>

#include <cstdlib>
#include <random>
#include <sstream>

namespace {

const RegistryRoot machine = RegistryRoot::localMachine;

std::string Utf16Le(const std::string& utf8, bool byteOrderMark)
{
    const wxString text = wxString::FromUTF8(utf8.c_str());
    std::vector<unsigned char> bytes = Utf16FromText(text);
    bytes.resize(bytes.size() - 2); // no NUL at the end of a file
    std::string file = byteOrderMark ? "\xFF\xFE" : "";
    file.append(bytes.begin(), bytes.end());
    return file;
}

// Loads `text`; the warnings are returned through `warnings`.
std::unique_ptr<RegFileRegistry> Load(const std::string& text, std::string* warnings = nullptr, bool is64Bit = false)
{
    auto registry = std::make_unique<RegFileRegistry>(is64Bit);
    std::ostringstream out;
    registry->LoadText(text, wxT("test.reg"), out);
    if (warnings)
        *warnings = out.str();
    return registry;
}

const char* const valuesFile =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; a comment\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
    "@=\"the default\"\r\n"
    "\"Plain\"=\"text\"\r\n"
    "\"Escapes\"=\"C:\\\\Program Files\\\\\\\"quoted\\\"\"\r\n"
    "\"Semicolon\"=\"a;b\"\r\n"
    "\"Unicode\"=\"Fran\xC3\xA7" "ais \xE2\x82\xAC \xF0\x9D\x84\x9E\"\r\n"
    "\"Number\"=dword:00001538\r\n"
    "\"Short number\"=dword:1f\r\n"
    "\"Big endian\"=hex(5):00,00,15,38\r\n"
    "\"Binary\"=hex:41,00,42,00\r\n"
    "\"Expand\"=hex(2):25,00,50,00,45,00,4c,00,4c,00,5f,00,58,00,25,00,2f,00,\\\r\n"
    "  64,00,00,00\r\n"
    "\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00\r\n"
    "\"Multi expanded\"=hex(7):25,00,50,00,45,00,4c,00,4c,00,5f,00,58,00,25,00,00,00,62,00,00,00,00,00\r\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\"Empty\"=hex:\r\n"
    "\"Empty text\"=\"\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Child B]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Child A]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\child b\\Grandchild]\r\n";

std::string Repeated(const std::string& text, size_t times)
{
    std::string result;
    result.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i)
        result += text;
    return result;
}

std::string LineFeedsOnly(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

} // namespace

TEST(RegistryTest, ValuesOfEveryFormAsText)
{
    wxSetEnv(wxT("PELL_X"), wxT("/expanded"));
    std::string warnings;
    const auto registry = Load(valuesFile, &warnings);
    EXPECT_EQ(warnings, "");
    const auto key = OpenRegistryKey(*registry, machine, wxT("Software\\test\\"), false, registryViewDefault);
    ASSERT_TRUE(key);

    struct Case {
        const char* name;
        const char* expected; // UTF-8
    };
    const Case cases[] = {
        {"", "the default"},
        {"Plain", "text"},
        {"PLAIN", "text"},
        {"Escapes", "C:\\Program Files\\\"quoted\""},
        {"Semicolon", "a;b"},
        {"Unicode", "Fran\xC3\xA7" "ais \xE2\x82\xAC \xF0\x9D\x84\x9E"},
        {"Binary", "AB"},
        {"Expand", "/expanded/d"},
        {"Multi", "one\n\rtwo"},
        {"Multi expanded", "/expanded\n\rb"},
        {"Number", "\xE1\x94\xB8"}, // a number read as text: its units up to the first NUL (U+1538)
        {"Empty", ""},
        {"Empty text", ""},
    };
    for (const Case& c : cases) {
        wxString value = wxT("unchanged");
        EXPECT_TRUE(key->QueryString(wxString::FromUTF8(c.name), value)) << c.name;
        EXPECT_EQ(value.utf8_string(), c.expected) << "value '" << c.name << "'";
    }
    wxString untouched = wxT("unchanged");
    EXPECT_FALSE(key->QueryString(wxT("Missing"), untouched));
    EXPECT_EQ(untouched, wxT("unchanged"));
    wxUnsetEnv(wxT("PELL_X"));
}

TEST(RegistryTest, NumbersAreFourByteDwordsOnly)
{
    const auto registry = Load(std::string(valuesFile) +
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd]\r\n"
                               "\"Two bytes\"=hex(4):01,02\r\n"
                               "\"Five bytes\"=hex(4):01,02,03,04,05\r\n");
    const auto key = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\Test"), false, registryViewDefault);
    const auto odd = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\Odd"), false, registryViewDefault);
    ASSERT_TRUE(key && odd);
    struct Case {
        const char* description;
        const RegistryKey* key;
        const char* name;
        bool found;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"dword", key.get(), "Number", true, 5432},
        {"dword with fewer digits", key.get(), "short number", true, 31},
        {"big-endian dword: bytes as stored", key.get(), "Big endian", true, 0x38150000},
        {"text", key.get(), "Plain", false, 0},
        {"binary of four bytes", key.get(), "Binary", false, 0},
        {"quad word", key.get(), "Quad", false, 0},
        {"missing", key.get(), "Missing", false, 0},
        {"empty name (the default value)", key.get(), "", false, 0},
        {"dword type with two bytes", odd.get(), "Two bytes", false, 0},
        {"dword type with five bytes", odd.get(), "Five bytes", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t number = 7;
        EXPECT_EQ(c.key->QueryDword(c.name, number), c.found) << c.description;
        EXPECT_EQ(number, c.found ? c.expected : 7u) << c.description;
    }
}

// Texts end at their data, whatever size or terminator is stored.
TEST(RegistryTest, TextReadsStopAtTheData)
{
    std::string warnings;
    const auto registry = Load("Windows Registry Editor Version 5.00\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n"
                               "\"No NUL\"=hex(1):41,00,42,00\r\n"
                               "\"Odd size\"=hex(1):41,00,42\r\n"
                               "\"One byte\"=hex(2):41\r\n"
                               "\"NUL inside\"=hex(1):41,00,00,00,42,00,00,00\r\n"
                               "\"Multi no end\"=hex(7):61,00,00,00,62,00\r\n"
                               "\"Multi one NUL\"=hex(7):61,00,00,00\r\n"
                               "\"Surrogate cut\"=hex(1):3d,d8\r\n"
                               "\"Lone low\"=hex(1):00,dc,41,00\r\n",
                               &warnings);
    EXPECT_EQ(warnings, "");
    const auto key = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\T"), false, registryViewDefault);
    ASSERT_TRUE(key);
    const std::pair<const char*, const char*> cases[] = {
        {"No NUL", "AB"},          {"Odd size", "A"},         {"One byte", ""},
        {"NUL inside", "A"},       {"Multi no end", "a\n\rb"}, {"Multi one NUL", "a"},
        {"Surrogate cut", "\xEF\xBF\xBD"}, {"Lone low", "\xEF\xBF\xBD" "A"},
    };
    for (const auto& [name, expected] : cases) {
        wxString value;
        EXPECT_TRUE(key->QueryString(name, value)) << name;
        EXPECT_EQ(value.utf8_string(), expected) << name;
    }
}

TEST(RegistryTest, EnvironmentReferences)
{
    wxSetEnv(wxT("PELL_A"), wxT("alpha"));
    wxUnsetEnv(wxT("PELL_MISSING"));
    const std::pair<const char*, const char*> cases[] = {
        {"%PELL_A%", "alpha"},
        {"x%PELL_A%y%PELL_A%z", "xalphayalphaz"},
        {"%PELL_MISSING%\\bin", "%PELL_MISSING%\\bin"},
        {"%PELL_MISSING%PELL_A%", "%PELL_MISSINGalpha"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"no references", "no references"},
    };
    // On Windows the system expands; where an unknown name runs into another reference, the
    // systems differ (wine leaves both as they are), so that case is the stand-in's alone.
    const bool systemExpands = pathSeparator == wxT('\\');
    for (const auto& [text, expected] : cases) {
        if (systemExpands && std::string(text) == "%PELL_MISSING%PELL_A%")
            continue;
        EXPECT_EQ(ExpandEnvironmentReferences(text), wxString(expected)) << text;
    }
    wxUnsetEnv(wxT("PELL_A"));
}

TEST(RegistryTest, SubKeysInOrderOfFirstAppearanceNamesWithoutCase)
{
    const auto registry = Load(valuesFile);
    const auto key = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\TEST"), false, registryViewDefault);
    ASSERT_TRUE(key);
    std::vector<wxString> paths;
    long index = 5;
    for (auto child = key->GetFirstSubKey(index); child; child = key->GetNextSubKey(index))
        paths.push_back(child->GetPath());
    EXPECT_EQ(index, -1);
    const std::vector<wxString> expected = {wxT("SOFTWARE\\TEST\\Child B"), wxT("SOFTWARE\\TEST\\Child A")};
    EXPECT_EQ(paths, expected);
    long negative = -1;
    EXPECT_FALSE(key->GetNextSubKey(negative));
    EXPECT_TRUE(OpenRegistryKey(*registry, machine, wxT("software\\test\\CHILD B\\grandchild"), false, 0));
    EXPECT_FALSE(OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\Test\\Missing"), false, 0));
    EXPECT_FALSE(OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\\\Test"), false, 0));
    EXPECT_FALSE(OpenRegistryKey(*registry, RegistryRoot::currentUser, wxT("SOFTWARE\\Test"), false, 0));
}

TEST(RegistryTest, SubKeyNameTooLongEndsTheEnumeration)
{
    // The files refuse such names when they load, so a stand-in backend supplies them.
    struct LongNames : RegistryBackend, RegistryBackendKey
    {
        bool Is64BitSystem() const override { return false; }
        std::unique_ptr<RegistryBackendKey> OpenKey(RegistryRoot, const wxString&, std::uint32_t) const override
        {
            return std::make_unique<LongNames>();
        }
        bool EnumSubKey(unsigned long index, wxString& name) const override
        {
            const wxString names[] = {wxT("first"), wxString(wxT('n'), 1023), wxString(wxT('n'), 1022)};
            if (index >= 3)
                return false;
            name = names[index];
            return true;
        }
        bool QueryValue(const wxString&, std::uint32_t&, std::vector<unsigned char>&) const override { return false; }
    } registry;
    const auto key = OpenRegistryKey(registry, machine, wxT("SOFTWARE\\P"), false, 0);
    ASSERT_TRUE(key);
    long index = 0;
    EXPECT_TRUE(key->GetFirstSubKey(index));
    EXPECT_FALSE(key->GetNextSubKey(index));
    EXPECT_EQ(index, -1);
}

TEST(RegistryTest, ViewsOfSoftwareOnA64BitSystem)
{
    const std::string text = "Windows Registry Editor Version 5.00\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"Where\"=\"64\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\V]\r\n\"Where\"=\"32\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\V]\r\n\"Where\"=\"system\"\r\n";
    struct Case {
        const char* description;
        bool is64Bit;
        const char* path;
        int view;
        const char* expected;
    };
    const Case cases[] = {
        {"64-bit system, 32-bit view", true, "SOFTWARE\\V", registryView32, "32"},
        {"64-bit system, default view", true, "Software\\V", registryViewDefault, "32"},
        {"64-bit system, 64-bit view", true, "SOFTWARE\\V", registryView64, "64"},
        {"64-bit system, explicit Wow6432Node", true, "SOFTWARE\\Wow6432Node\\V", registryView32, "32"},
        {"64-bit system, outside SOFTWARE", true, "SYSTEM\\V", registryView32, "system"},
        {"32-bit system, 32-bit view", false, "SOFTWARE\\V", registryView32, "64"},
        {"32-bit system, 64-bit view", false, "SOFTWARE\\V", registryView64, "64"},
    };
    for (const Case& c : cases) {
        const auto registry = Load(text, nullptr, c.is64Bit);
        const auto key = OpenRegistryKey(*registry, machine, c.path, false, c.view);
        ASSERT_TRUE(key) << c.description;
        wxString where;
        EXPECT_TRUE(key->QueryString(wxT("Where"), where));
        EXPECT_EQ(where, wxString(c.expected)) << c.description;
    }
}

TEST(RegistryTest, SameValuesFromEveryEncodingOfAFile)
{
    const std::string body = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\E]\r\n"
                             "\"Name\"=\"Gen\xC3\xA8ve\"\r\n"
                             "\"Port\"=dword:00001538\r\n";
    // The old format stores hex texts one byte per character.
    const std::string expandWide = "\"Path\"=hex(2):25,00,50,00,45,00,4c,00,4c,00,5f,00,45,00,25,00,00,00\r\n";
    const std::string expandNarrow = "\"Path\"=hex(2):25,50,45,4c,4c,5f,45,25,00\r\n";
    const std::string version5 = "Windows Registry Editor Version 5.00\r\n" + body + expandWide;
    struct Case {
        const char* description;
        std::string bytes;
    };
    std::string latin1Body = body;
    latin1Body.replace(latin1Body.find("\xC3\xA8"), 2, "\xE8");
    const Case cases[] = {
        {"UTF-16LE with byte-order mark", Utf16Le(version5, true)},
        {"UTF-16LE without byte-order mark", Utf16Le(version5, false)},
        {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + version5},
        {"UTF-8", version5},
        {"REGEDIT4, 8-bit", "REGEDIT4\r\n" + latin1Body + expandNarrow},
        {"line feeds only", LineFeedsOnly("REGEDIT4\r\n" + body + expandNarrow)},
    };
    wxSetEnv(wxT("PELL_E"), wxT("/e"));
    for (const Case& c : cases) {
        std::string warnings;
        const auto registry = Load(c.bytes, &warnings);
        EXPECT_EQ(warnings, "") << c.description;
        const auto key = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\E"), false, 0);
        ASSERT_TRUE(key) << c.description;
        wxString name, path;
        std::uint32_t port = 0;
        EXPECT_TRUE(key->QueryString(wxT("Name"), name));
        EXPECT_TRUE(key->QueryString(wxT("Path"), path));
        EXPECT_TRUE(key->QueryDword(wxT("Port"), port));
        EXPECT_EQ(name.utf8_string(), "Gen\xC3\xA8ve") << c.description;
        EXPECT_EQ(path, wxT("/e")) << c.description;
        EXPECT_EQ(port, 5432u) << c.description;
    }
    wxUnsetEnv(wxT("PELL_E"));
}

TEST(RegistryTest, MalformedLinesAreSkippedWithAWarning)
{
    std::string warnings;
    const auto registry = Load("Windows Registry Editor Version 5.00\r\n"
                               "\"Orphan\"=\"before any key\"\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\M]\r\n"
                               "\"Good\"=\"kept\"\r\n"
                               "\"Unclosed=\"x\"\r\n"
                               "\"No equals\" \"x\"\r\n"
                               "\"Bad dword\"=dword:123456789\r\n"
                               "\"Bad dword 2\"=dword:12g4\r\n"
                               "\"Bad hex\"=hex:4,zz\r\n"
                               "\"Bad type\"=hex(q):00\r\n"
                               "\"Bad text\"=\"x\" trailing\r\n"
                               "\"Unknown\"=qword:1\r\n"
                               "just words\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\M\r\n"
                               "\"Quiet\"=\"under a bad key line\"\r\n"
                               "[HKEY_NOWHERE\\X]\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n"
                               "[HKEY_LOCAL_MACHINE" + Repeated("\\k", 513) + "]\r\n"
                               "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(256, 'n') + "]\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\M]\r\n"
                               "\"Also good\"=\"kept\"\r\n",
                               &warnings);
    EXPECT_EQ(warnings,
              "test.reg:2: value outside any key; line skipped\n"
              "test.reg:5: no '=' after the value name; line skipped\n"
              "test.reg:6: no '=' after the value name; line skipped\n"
              "test.reg:7: dword value needs one to eight hexadecimal digits; line skipped\n"
              "test.reg:8: dword value needs one to eight hexadecimal digits; line skipped\n"
              "test.reg:9: hex value data is not a list of hexadecimal bytes; line skipped\n"
              "test.reg:10: hex value type is not \"hex(N)\" with N in hexadecimal; line skipped\n"
              "test.reg:11: text value not properly quoted; line skipped\n"
              "test.reg:12: value data is neither text, dword nor hex; line skipped\n"
              "test.reg:13: neither a key, a value nor a comment; line skipped\n"
              "test.reg:14: key name without a closing ']'; line skipped\n"
              "test.reg:16: unknown root key; line skipped\n"
              "test.reg:17: empty key name in the path; line skipped\n"
              "test.reg:18: key deeper than 512 levels; line skipped\n"
              "test.reg:19: key name longer than 255 characters; line skipped\n");
    const auto key = OpenRegistryKey(*registry, machine, wxT("SOFTWARE\\M"), false, 0);
    ASSERT_TRUE(key);
    wxString value;
    EXPECT_TRUE(key->QueryString(wxT("Good"), value));
    EXPECT_TRUE(key->QueryString(wxT("Also good"), value));
    EXPECT_FALSE(key->QueryString(wxT("Quiet"), value));
    EXPECT_FALSE(key->QueryString(wxT("Bad dword"), value));
}

TEST(RegistryTest, KeysAtTheRegistrysLimitsLoadDeeperOnesDoNot)
{
    const std::string limit = Repeated("k\\", 511) + std::string(255, 'n');
    std::string warnings;
    const auto registry = Load("Windows Registry Editor Version 5.00\r\n"
                               "[HKEY_LOCAL_MACHINE\\" + limit + "]\r\n\"V\"=\"at the limits\"\r\n"
                               "[HKEY_LOCAL_MACHINE" + Repeated("\\k", 1000000) + "]\r\n\"V\"=\"never\"\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\After]\r\n\"V\"=\"kept\"\r\n",
                               &warnings);
    EXPECT_EQ(warnings, "test.reg:4: key deeper than 512 levels; line skipped\n");
    struct Case {
        std::string path;
        const char* expected;
    };
    for (const Case& c : {Case{limit, "at the limits"}, Case{"SOFTWARE\\After", "kept"}}) {
        const auto key = OpenRegistryKey(*registry, machine, wxString::FromUTF8(c.path), false, 0);
        ASSERT_TRUE(key) << c.expected;
        wxString value;
        EXPECT_TRUE(key->QueryString(wxT("V"), value));
        EXPECT_EQ(value, wxString(c.expected));
    }
    EXPECT_FALSE(OpenRegistryKey(*registry, machine, wxString::FromUTF8(Repeated("k\\", 600)), false, 0));
}

TEST(RegistryTest, NotARegistryFile)
{
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"another header", "Windows Registry Editor Version 4.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"},
        {"configuration text", "port = 5432\n"},
    };
    for (const auto& [description, bytes] : cases) {
        RegFileRegistry registry;
        std::ostringstream warnings;
        EXPECT_FALSE(registry.LoadText(bytes, wxT("x.reg"), warnings)) << description;
        EXPECT_EQ(warnings.str(), "x.reg:1: not a registry file (the first line must be \"Windows Registry Editor "
                                  "Version 5.00\" or \"REGEDIT4\")\n")
            << description;
    }
    RegFileRegistry registry;
    std::ostringstream warnings;
    EXPECT_FALSE(registry.LoadFile(wxT("/nonexistent/x.reg"), warnings));
    EXPECT_EQ(warnings.str(), "/nonexistent/x.reg: cannot be read\n");
    // Read as every file of discovery is: a folder (or a pipe, or a link) is refused, never waited on.
    TempDir folder;
    std::ostringstream refused;
    EXPECT_FALSE(registry.LoadFile(wxString::FromUTF8(folder.path()), refused));
    EXPECT_EQ(refused.str(), folder.path() + ": cannot be read: It is not a regular file.\n");
}

// Random damage to a real file never crashes the reader.
TEST(RegistryTest, DamagedFilesNeverCrash)
{
    // The fixtures are copied beside the test program, which runs in its own folder.
    const std::string original = ReadFileBytes("fixtures/wow64_utf16.reg") + valuesFile;
    std::mt19937 random(20261209);
    for (int round = 0; round < 300; ++round) {
        std::string bytes = original;
        const int changes = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < changes; ++i)
            bytes[random() % bytes.size()] = static_cast<char>(random() % 256);
        bytes.resize(random() % (bytes.size() + 1));
        RegFileRegistry registry(round % 2 == 0);
        std::ostringstream warnings;
        registry.LoadText(bytes, wxT("damaged.reg"), warnings);
        for (int view = 0; view <= 2; ++view) {
            const auto key = OpenRegistryKey(registry, machine, wxT("SOFTWARE\\PostgreSQL\\Services"), false, view);
            if (!key)
                continue;
            long index = 0;
            for (auto child = key->GetFirstSubKey(index); child; child = key->GetNextSubKey(index)) {
                wxString text;
                std::uint32_t number = 0;
                child->QueryString(wxT("Data Directory"), text);
                child->QueryDword(wxT("Port"), number);
            }
        }
    }
}

TEST(RegistryTest, LaterFilesChangeAndRemove)
{
    RegFileRegistry registry;
    std::ostringstream warnings;
    registry.LoadText("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\Gone]\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\Kept]\r\n\"A\"=\"1\"\r\n\"B\"=\"2\"\r\n"
                      "[HKLM\\SOFTWARE\\K\\One]\r\n[HKLM\\SOFTWARE\\K\\Two]\r\n[HKLM\\SOFTWARE\\K\\Three]\r\n",
                      wxT("first.reg"), warnings);
    // Removed keys leave the enumeration order; one made again comes last.
    registry.LoadText("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\Gone]\r\n"
                      "[HKLM\\SOFTWARE\\K\\Kept]\r\n\"a\"=\"changed\"\r\n\"B\"=-\r\n"
                      "[-HKLM\\SOFTWARE\\K\\two]\r\n[-HKLM\\SOFTWARE\\K\\Three]\r\n[HKLM\\SOFTWARE\\K\\Gone]\r\n"
                      "[-HKLM\\SOFTWARE\\K\\One]\r\n[-HKLM\\SOFTWARE\\K\\Missing]\r\n",
                      wxT("second.reg"), warnings);
    EXPECT_EQ(warnings.str(), "");
    EXPECT_FALSE(OpenRegistryKey(registry, machine, wxT("SOFTWARE\\K\\Two"), false, 0));
    const auto kept = OpenRegistryKey(registry, machine, wxT("SOFTWARE\\K\\Kept"), false, 0);
    ASSERT_TRUE(kept);
    wxString value;
    EXPECT_TRUE(kept->QueryString(wxT("A"), value));
    EXPECT_EQ(value, wxT("changed"));
    EXPECT_FALSE(kept->QueryString(wxT("B"), value));

    const auto parent = OpenRegistryKey(registry, machine, wxT("SOFTWARE\\K"), false, 0);
    ASSERT_TRUE(parent);
    std::vector<wxString> paths;
    long index = 0;
    for (auto child = parent->GetFirstSubKey(index); child; child = parent->GetNextSubKey(index))
        paths.push_back(child->GetPath());
    EXPECT_EQ(paths, (std::vector<wxString>{wxT("SOFTWARE\\K\\Kept"), wxT("SOFTWARE\\K\\Gone")}));
}
