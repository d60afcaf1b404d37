// Discovery over the system's own registry: fixtures imported with reg.exe into the 32-bit
// and the 64-bit view, read through RegOpenKeyExW and the view flags.
#include "installations/discovery.h"
#include "installations/server.h"

#include "tests/support/temp_dir.h"
#include "tests/support/windows_test_support.h"

#include <gtest/gtest.h>
#include <wx/utils.h>

#include <memory>
#include <vector>

namespace {

const wchar_t* const postgresqlKey = L"HKLM\\SOFTWARE\\PostgreSQL";

struct Found
{
    wxString listText;
    std::unique_ptr<Server> server;
};

std::vector<Found> Discover(bool& result)
{
    std::vector<Found> found;
    result = DiscoverInstallations([&found](const wxString& text, Server* server) {
        found.push_back({text, std::unique_ptr<Server>(server)});
    });
    return found;
}

std::vector<wxString> Texts(const std::vector<Found>& found)
{
    std::vector<wxString> texts;
    for (const Found& f : found)
        texts.push_back(f.listText);
    return texts;
}

// The machine's PostgreSQL keys, emptied in both views before and after each test.
class SystemRegistryTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // PELLORAN_REGISTRY would put a .reg file in the system registry's place.
        ASSERT_FALSE(wxGetEnv(wxT("PELLORAN_REGISTRY"), nullptr)) << "the test reads the system registry";
        Clear();
    }
    void TearDown() override { Clear(); }

    static void Clear()
    {
        for (const wchar_t* view : {L" /reg:32", L" /reg:64"})
            RunCommandLine(std::wstring(L"reg.exe delete ") + postgresqlKey + L" /f" + view);
    }

    static void Import(const wchar_t* fixture, const wchar_t* view)
    {
        const std::wstring file = TestProgramFolder() + L"\\fixtures\\" + fixture;
        const std::wstring imported = InUtf16(file);
        ASSERT_EQ(RunCommandLine(L"reg.exe import \"" + imported + L"\"" + view), 0) << wxString(file);
    }

    // reg.exe reads a file without the UTF-16 mark as ANSI and would widen the UTF-16 bytes
    // of hex(2) and hex(7) values a second time; it is given a UTF-16 copy instead.
    static std::wstring InUtf16(const std::wstring& file)
    {
        const std::string bytes = ReadFileBytes(wxString(file).utf8_string());
        if (bytes.rfind("\xFF\xFE", 0) == 0)
            return file;
        const std::wstring text = wxString::FromUTF8(bytes).ToStdWstring();
        std::string utf16 = "\xFF\xFE";
        for (wchar_t c : text) {
            utf16 += static_cast<char>(c & 0xff);
            utf16 += static_cast<char>((c >> 8) & 0xff);
        }
        const std::wstring copy = file + L".utf16";
        WriteFileBytes(wxString(copy).utf8_string(), utf16);
        return copy;
    }
};

} // namespace

TEST_F(SystemRegistryTest, BothViewsOfA64BitSystem)
{
    ASSERT_TRUE(wxIsPlatform64Bit());
    // Keys under Wow6432Node land in the 32-bit view, the others in the 64-bit view.
    Import(L"wow64_utf16.reg", L"");
    wxSetEnv(wxT("PELLORAN_FIXTURE_ROOT"), wxT("C:\\Program Files (x86)\\PostgreSQL"));
    bool result = false;
    const std::vector<Found> found = Discover(result);
    wxUnsetEnv(wxT("PELLORAN_FIXTURE_ROOT"));

    EXPECT_TRUE(result);
    const std::vector<wxString> expected = {wxT("PostgreSQL 8.4 on port 5432"), wxT("PostgreSQL 9.0 (x64) on port 5433")};
    EXPECT_EQ(Texts(found), expected);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].server->bitness, wxT("32"));
    EXPECT_EQ(found[1].server->bitness, wxT("64"));
    // REG_EXPAND_SZ, expanded by the system with this process's environment.
    EXPECT_EQ(found[0].server->dataDirectory, wxT("C:\\Program Files (x86)\\PostgreSQL\\8.4\\data"));
    EXPECT_EQ(found[0].server->GetConfFilePath(), wxT("C:\\Program Files (x86)\\PostgreSQL\\8.4\\data\\postgresql.conf"));
    EXPECT_EQ(found[1].server->locale.utf8_string(), "Fran\xC3\xA7" "ais_France.1252");
    EXPECT_EQ(found[1].server->version, wxT("9.0"));
}

TEST_F(SystemRegistryTest, ListingCasesInThe32BitViewOnly)
{
    Import(L"services_utf8.reg", L" /reg:32");
    wxSetEnv(wxT("PELLORAN_FIXTURE_ROOT"), wxT("D:\\expanded"));
    bool result = false;
    const std::vector<Found> found = Discover(result);
    wxUnsetEnv(wxT("PELLORAN_FIXTURE_ROOT"));

    // The services the file store lists, in the system's enumeration order (sub-keys by
    // name); the 64-bit view has nothing to add.
    EXPECT_TRUE(result);
    const std::vector<wxString> expected = {
        wxT(" on port 5434"),                   // empty-display-name
        wxT("orvalis server 8.4 on port 5437"), // lower-case-orvalis
        wxT("Unknown server on port 5433"),     // no-display-name
        wxT("PostgreSQL 8.4.1 on port 5445"),   // patch-level
        wxT("PostgreSQL 16 on port 5446"),      // pgsql-16: 16.1
        wxT("PostgreSQL 17 on port 5447"),      // pgsql-17: 17.0
        wxT("PostgreSQL 8.4 on port 5432"),     // pgsql-8.4
    };
    EXPECT_EQ(Texts(found), expected);
    ASSERT_EQ(found.size(), expected.size());
    for (const Found& f : found)
        EXPECT_EQ(f.server->bitness, wxT("32")) << f.listText;
    EXPECT_EQ(found[3].server->dataDirectory, wxT("D:\\expanded/data"));
    EXPECT_EQ(found[3].server->serviceAccount, wxT("first\n\rsecond"));
}

TEST_F(SystemRegistryTest, NoServicesKeyInEitherView)
{
    bool result = true;
    EXPECT_TRUE(Discover(result).empty());
    EXPECT_FALSE(result);
}
