// The welcome page in the real wizard: its two layouts, and each reason it refuses to be left.
#include "app/wizard.h"
#include "pages/file_selector_combo.h"
#include "pages/images.h"
#include "pages/proxy_dialog.h"
#include "pages/proxy_settings.h"
#include "pages/welcome_page.h"
#include "installations/registry_key.h"
#include "installations/server_program.h"
#include "tests/pages/page_test_support.h"
#include "tests/support/temp_dir.h"

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>

namespace {

const char notSelected[] = "You must select the installation to tune before, you continue.";
const char installationNotAccessible[] =
    "The postgresql.conf for the selected server is not accessible.\nPlease try again by running the Pelloran as "
    "an administrator";
const char noFileChosen[] = "You must select the postgresql.conf to tune, before you continue.";
const char chosenFileNotAccessible[] =
    "The selected configuration file does not exist or not accessible.\nYou may not have rights to write the "
    "file.\n\nNOTE: Please try to run the Pelloran as an administrator.";

struct Installation
{
    std::string service;
    std::string displayName;
    int port;
    std::string dataDirectory;
    std::string version;
};

// A machine registry in the registry editor's export format.
std::string RegistryFile(const std::vector<Installation>& installations)
{
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    int code = 0;
    for (const Installation& i : installations) {
        const std::string product = "{0000000" + std::to_string(++code) + "-PELLORAN-TEST}";
        char port[16];
        std::snprintf(port, sizeof port, "%08x", static_cast<unsigned>(i.port));
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Services\\" + i.service + "]\r\n";
        text += "\"Display Name\"=\"" + i.displayName + "\"\r\n";
        text += "\"Port\"=dword:" + std::string(port) + "\r\n";
        text += "\"Data Directory\"=\"" + i.dataDirectory + "\"\r\n";
        text += "\"Database Superuser\"=\"postgres\"\r\n";
        text += "\"Product Code\"=\"" + product + "\"\r\n\r\n";
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PostgreSQL\\Installations\\" + product + "]\r\n";
        text += "\"Version\"=\"" + i.version + "\"\r\n";
        text += "\"Base Directory\"=\"/usr/lib/postgresql/" + i.version + "\"\r\n\r\n";
    }
    return text;
}

class WelcomePageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        TakeErrors();
    }

    void TearDown() override
    {
        if (wizard)
            wizard->Destroy();
        PumpEvents();
        // The next test's registry is read afresh.
        ReplaceMachineRegistry(nullptr);
    }

    // Builds the wizard over a machine registry holding these installations.
    void Build(const std::vector<Installation>& installations)
    {
        WriteFileBytes(temp.file("machine.reg"), RegistryFile(installations));
        ScopedEnv registry("PELLORAN_REGISTRY", temp.file("machine.reg"));
        ReplaceMachineRegistry(nullptr);
        wizard = new Wizard(nullptr, CreateSideImage());
        page = wizard->welcomePage;
    }

    // A data directory holding a postgresql.conf.
    std::string DataDirectory(const std::string& name)
    {
        const std::string directory = temp.file(name);
        mkdir(directory.c_str(), 0700);
        WriteFileBytes(directory + "/postgresql.conf", "shared_buffers = 32MB\n");
        return directory;
    }

    // Runs the wizard modally from the welcome page; `steps` runs inside the loop.
    void RunWizard(const std::function<void()>& steps)
    {
        wizard->CallAfter([this, steps]() {
            PumpEvents();
            steps();
            wizard->EndModal(wxID_CANCEL);
        });
        wizard->RunWizard(page);
    }

    void Choose(const std::string& path)
    {
        FileDialogAnswer answer(path);
        page->fileSelector->OnButtonClick();
    }

    // A pick from the version box's list, with the event the toolkit sends for one.
    void PickVersion(const wxString& version)
    {
        ASSERT_TRUE(page->versionBox->SetStringSelection(version));
        wxCommandEvent picked(wxEVT_COMBOBOX, page->versionBox->GetId());
        picked.SetEventObject(page->versionBox);
        picked.SetInt(page->versionBox->GetSelection());
        picked.SetString(version);
        page->versionBox->ProcessWindowEvent(picked);
    }

    bool Visible(wxWindow* window) { return window && window->IsShown(); }

    std::vector<std::string> Entries(wxComboBox* box)
    {
        std::vector<std::string> entries;
        for (unsigned i = 0; i < box->GetCount(); ++i)
            entries.push_back(box->GetString(i).utf8_string());
        return entries;
    }

    // Nothing of the page may stick out of the wizard's page area.
    void ExpectInsideThePage()
    {
        const wxRect area(wxPoint(0, 0), page->GetClientSize());
        EXPECT_GE(page->GetSize().x, 420);
        for (wxWindow* child : page->GetChildren()) {
            if (!child->IsShown())
                continue;
            const wxRect rect = child->GetRect();
            EXPECT_TRUE(area.Contains(rect)) << child->GetName().utf8_string() << " at " << rect.x << "," << rect.y
                                             << " " << rect.width << "x" << rect.height;
            if (auto* text = dynamic_cast<wxStaticText*>(child)) {
                EXPECT_GE(rect.height, text->GetBestSize().y) << "lines cut off: " << text->GetLabel().utf8_string();
            }
        }
    }

    TempDir temp;
    ScopedEnv configHome{"XDG_CONFIG_HOME", temp.file("config")};
    Wizard* wizard = nullptr;
    WelcomePage* page = nullptr;
};

TEST_F(WelcomePageTest, WithNothingInstalledItAsksForAFileAndAVersion)
{
    Build({});
    EXPECT_FALSE(page->installationsFound);
    ASSERT_NE(page->fileSelector, nullptr);
    ASSERT_NE(page->versionBox, nullptr);
    ASSERT_NE(page->buildBox, nullptr);
    EXPECT_FALSE(Visible(page->installationList));
    EXPECT_EQ(page->versionBox->GetValue(), wxT("8.4"));
    // Every version the service tunes, newest first.
    EXPECT_EQ(Entries(page->versionBox),
              (std::vector<std::string>{"18", "17", "16", "15", "14", "13", "12", "11", "10", "9.6", "9.5", "9.4",
                                        "9.3", "9.2", "9.1", "9.0", "8.4", "8.3", "8.2"}));
    EXPECT_EQ(page->buildBox->GetValue(), wxT("x86"));
    EXPECT_EQ(Entries(page->buildBox), std::vector<std::string>{"x86"});
    EXPECT_FALSE(page->buildBox->IsEnabled());
    for (wxComboBox* box : {page->versionBox, page->buildBox})
        EXPECT_GE(box->GetSize().x, std::max(50, box->GetBestSize().x)) << "the entry must be visible beside the arrow";
    EXPECT_EQ(page->versionBox->GetId(), 1003);
    EXPECT_EQ(page->buildBox->GetId(), 1003);
    EXPECT_EQ(page->installationList->GetId(), 1003);
    EXPECT_EQ(page->proxyButton->GetId(), 1002);
    EXPECT_EQ(page->proxyButton->GetLabel(), wxT("Proxy server"));
    EXPECT_TRUE(page->fileSelector->GetFileName().empty());
    RunWizard([this]() {
        EXPECT_TRUE(HasFocusWithinItsWindow(page->fileSelector)) << "the file selector has the focus";
        ExpectInsideThePage();
        SaveScreenshot(wizard, "welcome_page_hand_chosen");
    });
}

TEST_F(WelcomePageTest, WithInstallationsItListsThemWithNothingSelected)
{
    Build({{"pg84", "PostgreSQL 8.4", 5432, DataDirectory("data84"), "8.4"},
           {"pg90", "PostgreSQL 9.0", 5433, DataDirectory("data90"), "9.0"}});
    ASSERT_TRUE(page->installationsFound) << "the registry holds two listable installations";
    EXPECT_EQ(page->fileSelector, nullptr);
    EXPECT_EQ(page->versionBox, nullptr);
    EXPECT_TRUE(Visible(page->installationList));
    ASSERT_EQ(page->installationList->GetCount(), 2u);
    EXPECT_NE(page->installationList->GetString(0).Find(wxT("PostgreSQL 8.4")), wxNOT_FOUND);
    EXPECT_NE(page->installationList->GetString(0).Find(wxT("on port 5432")), wxNOT_FOUND);
    EXPECT_EQ(page->installationList->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(wizard->GetSelectedServer(), nullptr);

    RunWizard([this]() {
        ExpectInsideThePage();
        SaveScreenshot(wizard, "welcome_page_list");
    });

    EXPECT_FALSE(LeavePage(page));
    EXPECT_EQ(TakeErrors(), std::vector<std::string>{notSelected});

    page->installationList->SetSelection(1);
    EXPECT_TRUE(LeavePage(page));
    EXPECT_TRUE(TakeErrors().empty());
    ASSERT_NE(wizard->GetSelectedServer(), nullptr);
    EXPECT_EQ(wizard->GetSelectedServer()->port, 5433);
}

TEST_F(WelcomePageTest, AListedInstallationWhoseFileCannotBeWrittenIsRefused)
{
    const std::string locked = DataDirectory("locked");
    const std::string empty = temp.file("empty");
    mkdir(empty.c_str(), 0700);
    // A link put where the file goes by whoever may write the data directory.
    const std::string linked = temp.file("linked");
    mkdir(linked.c_str(), 0700);
    WriteFileBytes(temp.file("elsewhere.conf"), "port = 5432\n");
    ASSERT_EQ(symlink(temp.file("elsewhere.conf").c_str(), (linked + "/postgresql.conf").c_str()), 0);
    Build({{"locked", "PostgreSQL 8.4", 5432, locked, "8.4"},
           {"empty", "PostgreSQL 8.3", 5433, empty, "8.3"},
           {"linked", "PostgreSQL 8.3", 5434, linked, "8.3"}});
    ASSERT_TRUE(page->installationsFound) << "the registry holds three listable installations";
    ASSERT_EQ(page->installationList->GetCount(), 3u);

    WriteProtection mark(locked + "/postgresql.conf");
    if (!mark.Applied())
        GTEST_SKIP() << "the file cannot be write-protected here (chattr +i as root, chmod otherwise)";
    const std::string before = ReadFileBytes(locked + "/postgresql.conf");
    struct Case
    {
        const char* description;
        int item;
        std::string error;
    };
    const Case cases[] = {
        {"file not writable", 0, installationNotAccessible},
        {"no postgresql.conf in the data directory", 1, installationNotAccessible},
        {"postgresql.conf a symbolic link: no advice that would not help", 2,
         "The configuration file cannot be used: " + linked + "/postgresql.conf\nIt is a symbolic link, which is "
         "not followed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        page->installationList->SetSelection(c.item);
        EXPECT_FALSE(LeavePage(page));
        EXPECT_EQ(TakeErrors(), std::vector<std::string>{c.error});
        EXPECT_EQ(page->installationList->GetSelection(), c.item) << "the choice stays";
    }
    EXPECT_EQ(ReadFileBytes(locked + "/postgresql.conf"), before);
    EXPECT_EQ(ReadFileBytes(temp.file("elsewhere.conf")), "port = 5432\n");
}

TEST_F(WelcomePageTest, AHandChosenFileIsRefusedUntilItIsChosenPresentAndWritable)
{
    Build({});
    ASSERT_FALSE(page->installationsFound);
    const std::string conf = DataDirectory("manual") + "/postgresql.conf";

    // A path typed, never browsed for.
    page->fileSelector->SetValue(wxString::FromUTF8(conf));
    EXPECT_FALSE(LeavePage(page));
    EXPECT_EQ(TakeErrors(), std::vector<std::string>{noFileChosen});
    // The page is only ever left forward; a jump backward checks nothing.
    EXPECT_TRUE(LeavePage(page, false));
    EXPECT_TRUE(TakeErrors().empty());

    // Chosen, then deleted.
    const std::string gone = temp.file("manual/gone.conf");
    WriteFileBytes(gone, "\n");
    Choose(gone);
    std::remove(gone.c_str());
    EXPECT_FALSE(LeavePage(page));
    EXPECT_EQ(TakeErrors(), std::vector<std::string>{"File '" + gone + "' not found"});

    // Chosen, present, but not writable.
    Choose(conf);
    page->versionBox->SetStringSelection(wxT("8.3"));
    {
        WriteProtection mark(conf);
        if (!mark.Applied())
            GTEST_SKIP() << "the file cannot be write-protected here (chattr +i as root, chmod otherwise)";
        EXPECT_FALSE(LeavePage(page));
        EXPECT_EQ(TakeErrors(), std::vector<std::string>{chosenFileNotAccessible});
        EXPECT_EQ(page->manualServer.version, wxT("8.3")) << "the record holds the new choice all the same";
        EXPECT_EQ(page->manualServer.baseDirectory.utf8_string(), conf);
    }

    // Now writable.
    EXPECT_TRUE(LeavePage(page));
    EXPECT_TRUE(TakeErrors().empty());
    EXPECT_EQ(wizard->GetSelectedServer(), &page->manualServer);
}

TEST_F(WelcomePageTest, AHandChosenFileFillsTheRecord)
{
    Build({});
    ASSERT_FALSE(page->installationsFound);
    const std::string directory = DataDirectory("manual82");
    const std::string conf = directory + "/postgresql.conf";
    page->manualServer.values[3] = wxT("kept");
    page->manualServer.displayName = wxT("kept too");
    struct Case
    {
        const char* description;
        int selection;
        const char* version;
        int major;
        int minor;
    };
    const Case cases[] = {
        {"8.2", 18, "8.2", 8, 2},
        {"8.4, as shown at first", 16, "8.4", 8, 4},
        {"no selection reads as 8.4", wxNOT_FOUND, "8.4", 8, 4},
    };
    Choose(conf);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        page->versionBox->SetSelection(c.selection);
        ASSERT_TRUE(LeavePage(page)) << (TakeErrors().empty() ? "" : TakeErrors()[0]);
        const Server& record = page->manualServer;
        EXPECT_EQ(record.version.utf8_string(), c.version);
        EXPECT_EQ(record.versionNumber.major, c.major);
        EXPECT_EQ(record.versionNumber.minor, c.minor);
        EXPECT_EQ(record.bitness, MachineWordSize()) << "no server program belongs to the file";
        EXPECT_EQ(record.dataDirectory.utf8_string(), directory + "/");
        EXPECT_EQ(record.baseDirectory.utf8_string(), conf);
        EXPECT_EQ(record.port, 0);
        EXPECT_EQ(record.GetConfFilePath().utf8_string(), conf);
        EXPECT_EQ(record.values[3], wxT("kept"));
        EXPECT_EQ(record.displayName, wxT("kept too"));
    }
}

TEST_F(WelcomePageTest, TheChosenFilesFolderSetsTheVersionUntilTheUserPicksOne)
{
    Build({});
    ASSERT_FALSE(page->installationsFound);
    struct Case
    {
        const char* description;
        const char* pgVersion; // nullptr: no PG_VERSION beside the file
        const char* shown;
    };
    const Case cases[] = {
        {"a data directory of 15", "15\n", "15"},
        {"a data directory of 9.6", "9.6\n", "9.6"},
        {"a plain folder after a detected one", nullptr, "8.4"},
        {"a version the service does not tune", "7.4\n", "8.4"},
        {"not a version", "../../15\n", "8.4"},
        {"an empty PG_VERSION", "", "8.4"},
    };
    int folder = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const std::string directory = DataDirectory("detect" + std::to_string(++folder));
        if (c.pgVersion)
            WriteFileBytes(directory + "/PG_VERSION", c.pgVersion);
        Choose(directory + "/postgresql.conf");
        EXPECT_EQ(page->versionBox->GetValue().utf8_string(), c.shown);
    }

    // A PostgreSQL 15 data directory: the record gets its version and its program's word size.
    const std::string data15 = DataDirectory("data15");
    WriteFileBytes(data15 + "/PG_VERSION", "15\n");
    Choose(data15 + "/postgresql.conf");
    ASSERT_TRUE(LeavePage(page)) << (TakeErrors().empty() ? "" : TakeErrors()[0]);
    EXPECT_EQ(page->manualServer.version, wxT("15"));
    EXPECT_EQ(page->manualServer.versionNumber.major, 15);
    const wxString program = wxT("/usr/lib/postgresql/15/bin/postgres");
    if (wxFileExists(program)) {
        EXPECT_EQ(page->manualServer.bitness, ProgramWordSize(program));
    }

    // The user's pick wins over every later detection.
    PickVersion(wxT("8.3"));
    Choose(data15 + "/postgresql.conf");
    EXPECT_EQ(page->versionBox->GetValue(), wxT("8.3"));
    ASSERT_TRUE(LeavePage(page));
    EXPECT_EQ(page->manualServer.version, wxT("8.3"));
}

TEST_F(WelcomePageTest, TheProxyButtonOpensTheProxyDialogAndCancellingChangesNothing)
{
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    Build({});
    page->fileSelector->SetValue(wxT("typed"));
    std::vector<std::string> titles;
    {
        ModalAnswerer answer([&](wxDialog* dialog) -> int {
            auto* proxy = dynamic_cast<ProxyDialog*>(dialog);
            EXPECT_NE(proxy, nullptr);
            if (!proxy)
                return wxID_CANCEL;
            titles.push_back(proxy->GetTitle().utf8_string());
            EXPECT_EQ(proxy->GetParent(), page);
            proxy->hostField->SetValue(wxT("edited"));
            return wxCANCEL;
        });
        Click(page->proxyButton);
    }
    EXPECT_EQ(titles, std::vector<std::string>{"Proxy server configuration"});
    wxString host, port;
    ReadProxySettings(host, port);
    EXPECT_EQ(host, wxT("proxy1"));
    EXPECT_EQ(page->fileSelector->GetValue(), wxT("typed"));
    EXPECT_TRUE(TakeErrors().empty());
}

} // namespace
