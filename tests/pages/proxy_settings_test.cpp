// The per-user proxy settings store: where it lives, what it keeps, how it fails.
#include "pages/proxy_settings.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <wx/init.h>
#include <wx/log.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Keeps the error texts the store logs, so a test can see that a failure was reported.
class ErrorCollector : public wxLog
{
public:
    std::vector<std::string> errors;

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override
    {
        if (level <= wxLOG_Error)
            errors.push_back(message.utf8_string());
    }
};

class ProxySettingsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        savedXdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
        hadXdg = std::getenv("XDG_CONFIG_HOME") != nullptr;
        savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
        previousLog = wxLog::SetActiveTarget(&log);
    }

    void TearDown() override
    {
        wxLog::SetActiveTarget(previousLog);
        if (hadXdg)
            setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        setenv("HOME", savedHome.c_str(), 1);
    }

    // Not created: a fresh account may lack it, and saving must cope.
    std::string configHome() const { return temp.file("config"); }
    std::string storeFile() const { return configHome() + "/Pelloran.conf"; }

    std::pair<std::string, std::string> Read()
    {
        wxString host = wxT("stale host"), port = wxT("stale port");
        ReadProxySettings(host, port);
        return {host.utf8_string(), port.utf8_string()};
    }

    TempDir temp;
    ErrorCollector log;
    wxLog* previousLog = nullptr;
    std::string savedXdg, savedHome;
    bool hadXdg = false;
};

TEST_F(ProxySettingsTest, NothingStoredReadsAsTwoEmptyTextsWithoutComplaint)
{
    EXPECT_EQ(Read(), std::make_pair(std::string(), std::string()));
    EXPECT_TRUE(log.errors.empty());
    EXPECT_FALSE(FileExists(configHome())) << "reading must not create anything";
}

TEST_F(ProxySettingsTest, SavedTextsComeBackExactlyAsTyped)
{
    struct Case
    {
        const char* description;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"ordinary host and port", "proxy1", "8080"},
        {"both cleared", "", ""},
        {"blanks around the texts are kept", "  proxy1 ", " 80"},
        {"signed ports pass through", "10.0.0.1", "+8080"},
        {"a lone sign", "proxy1", "-"},
        {"characters the store file treats specially", "$HOME\\a;b#c\"d\"=e", "[1]"},
        {"non-ASCII host", "прокси.пример", "3128"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        ASSERT_TRUE(WriteProxySettings(wxString::FromUTF8(c.host), wxString::FromUTF8(c.port)));
        EXPECT_EQ(Read(), std::make_pair(std::string(c.host), std::string(c.port)));
    }
    EXPECT_TRUE(log.errors.empty());
}

TEST_F(ProxySettingsTest, SavingCreatesTheMissingFolderChainAndTheOneStoreFile)
{
    setenv("XDG_CONFIG_HOME", (configHome() + "/deeper/still").c_str(), 1);
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    const std::string text = ReadFileBytes(configHome() + "/deeper/still/Pelloran.conf");
    EXPECT_NE(text.find("proxy1"), std::string::npos) << text;
    EXPECT_NE(text.find("8080"), std::string::npos) << text;
}

TEST_F(ProxySettingsTest, WithoutXdgConfigHomeTheStoreIsInHomeDotConfig)
{
    struct Case
    {
        const char* description;
        bool set;
        const char* value;
    };
    const Case cases[] = {
        {"unset", false, ""},
        {"empty", true, ""},
        {"relative paths are ignored", true, "relative/config"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        TempDir home;
        setenv("HOME", home.path().c_str(), 1);
        if (c.set)
            setenv("XDG_CONFIG_HOME", c.value, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        ASSERT_TRUE(WriteProxySettings(wxT("proxy2"), wxT("3128")));
        EXPECT_TRUE(FileExists(home.file(".config/Pelloran.conf")));
        EXPECT_EQ(Read(), std::make_pair(std::string("proxy2"), std::string("3128")));
    }
}

TEST_F(ProxySettingsTest, SavingKeepsWhateverElseTheStoreHolds)
{
    mkdir(configHome().c_str(), 0700);
    WriteFileBytes(storeFile(), "# kept by hand\nWindow=3\n[Other]\nsize=10\n");
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    const std::string text = ReadFileBytes(storeFile());
    for (const char* kept : {"# kept by hand", "Window=3", "[Other]", "size=10"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept << " lost from:\n" << text;
}

TEST_F(ProxySettingsTest, ValuesPlacedByOtherMeansAreReadAsTheyAre)
{
    mkdir(configHome().c_str(), 0700);
    struct Case
    {
        const char* description;
        const char* file;
        std::pair<std::string, std::string> expected;
    };
    const Case cases[] = {
        {"port without host", "HTTP\\ proxy\\ port=3128\n", {"", "3128"}},
        {"host without port", "HTTP\\ proxy\\ host=proxy9\n", {"proxy9", ""}},
        {"port that is no number", "HTTP\\ proxy\\ host=h\nHTTP\\ proxy\\ port=80a\n", {"h", "80a"}},
        {"values in another group do not count", "[Elsewhere]\nHTTP\\ proxy\\ port=1\n", {"", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        WriteFileBytes(storeFile(), c.file);
        EXPECT_EQ(Read(), c.expected);
    }
}

TEST_F(ProxySettingsTest, AStoreThatCannotBeWrittenIsReportedAndLeftAsItWas)
{
    // The store's folder would have to be made below a plain file: impossible even for root.
    WriteFileBytes(temp.file("plain"), "x");
    setenv("XDG_CONFIG_HOME", temp.file("plain/config").c_str(), 1);
    EXPECT_FALSE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    EXPECT_FALSE(log.errors.empty());
    EXPECT_EQ(ReadFileBytes(temp.file("plain")), "x");
    EXPECT_EQ(Read(), std::make_pair(std::string(), std::string()));
}

TEST_F(ProxySettingsTest, AFailedSaveLeavesTheStoredFileByteForByte)
{
    mkdir(configHome().c_str(), 0700);
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    const std::string before = ReadFileBytes(storeFile());
    // Root is not stopped by file modes: as root the folder is made immutable instead.
    const bool root = geteuid() == 0;
    const std::string lock = "chattr +i '" + configHome() + "' 2>/dev/null";
    if (root ? std::system(lock.c_str()) != 0 : chmod(configHome().c_str(), 0500) != 0)
        GTEST_SKIP() << "the store's folder cannot be write-protected here (chattr +i as root, chmod otherwise)";
    const bool written = WriteProxySettings(wxT("other"), wxT("1"));
    if (root)
        std::system(("chattr -i '" + configHome() + "'").c_str());
    else
        chmod(configHome().c_str(), 0700);
    EXPECT_FALSE(written);
    EXPECT_FALSE(log.errors.empty());
    EXPECT_EQ(ReadFileBytes(storeFile()), before);
    EXPECT_EQ(Read(), std::make_pair(std::string("proxy1"), std::string("8080")));
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    wxInitializer toolkit;
    return RUN_ALL_TESTS();
}
