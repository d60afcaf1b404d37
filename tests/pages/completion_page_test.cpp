// The review page in the running wizard: the preview and its colours, the save with its
// backup on Next, the refused save, and the pages it leads to.
#include "app/tuning_tool.h"
#include "app/wizard.h"
#include "pages/preview_view.h"
#include "pages/completion_page.h"
#include "pages/sysinfo_page.h"
#include "pages/images.h"
#include "pages/thankyou_page.h"
#include "pages/welcome_page.h"
#include "tests/conf/conf_test_support.h"
#include "tests/support/gui_test.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <wx/button.h>
#include <wx/progdlg.h>
#include <wx/regex.h>
#include <wx/richtext/richtextctrl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/utils.h>
#include <wx/weakref.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace {

const char* const sampleFile = "/usr/share/postgresql/15/postgresql.conf.sample";

class CompletionPageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        CapturedLog::Clear();
        TuningTool::endProcess = [](int) {};
        NewWizard();
    }

    void NewWizard()
    {
        if (wxWizard* left = alive.get())
            left->Destroy();
        PumpEvents();
        wizard = new Wizard(nullptr, CreateSideImage());
        alive = wizard;
        static_cast<TuningTool*>(wxTheApp)->wizard = wizard;
        page = wizard->reviewPage;
    }

    void TearDown() override
    {
        if (wxWizard* left = alive.get(); left && !wxPendingDelete.Member(left))
            left->Destroy();
        PumpEvents();
    }

    // A hand-chosen configuration file, tuned as the exchange would leave it.
    Server& ChooseFile(const std::string& path, const std::string& folder)
    {
        wizard->welcomePage->installationsFound = false;
        Server& server = wizard->welcomePage->manualServer;
        server.port = 0;
        server.baseDirectory = wxString::FromUTF8(path);
        server.dataDirectory = wxString::FromUTF8(folder);
        server.SetVersion("15");
        const char* values[tuningParameterCount] = {"200", "256MB", "8MB", "64MB", "", "", "16MB", "", "3",
                                                    "2GB", "on", "2min", "60", "70", "0.1", "0.05", ""};
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = values[i];
        return server;
    }

    // Runs the wizard modally on the review page; `steps` runs inside and the run ends after it.
    void RunOnReviewPage(std::function<void()> steps)
    {
        wizard->CallAfter([this, steps]() {
            PumpEvents();
            steps();
            if (alive)
                wizard->EndModal(wxID_CANCEL);
        });
        ModalAnswerer letItRun([](wxDialog*) { return static_cast<int>(wxID_NONE); });
        wizard->RunWizard(page);
    }

    void Press(int id) { Click(wizard->FindWindow(id)); }

    std::string BackupPath(const TempDir& folder) { return folder.file(page->backupName.utf8_string()); }

    Wizard* wizard = nullptr;
    CompletionPage* page = nullptr;
    wxWeakRef<wxWizard> alive;
};

// Lets the display catch up with a page change before a screenshot.
void Settle(wxWindow* window)
{
    for (int round = 0; round < 5; ++round) {
        window->Refresh();
        window->Update();
        PumpEvents();
        wxMilliSleep(40);
    }
}

// The window once the display has caught up with a page change.
void Screenshot(wxWindow* window, const std::string& name)
{
    Settle(window);
    SaveScreenshot(window, name);
}

std::string WithoutStamps(std::string text)
{
    wxString converted = wxString::FromUTF8(text);
    wxRegEx stamp(wxT("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    stamp.ReplaceAll(&converted, wxT("T"));
    return converted.utf8_string();
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// What the preview shows, read back while its dialog is up.
struct PreviewSeen
{
    std::string title;
    std::string text;
    std::vector<std::string> lines;
    std::vector<wxColour> textColours;
    std::vector<wxColour> backgrounds;
    bool fixedPitch = false;
    wxColour defaultText;
};

PreviewSeen ReadPreview(wxDialog* dialog)
{
    PreviewSeen seen;
    seen.title = dialog->GetTitle().utf8_string();
    auto* view = wxDynamicCast(dialog->FindWindow(wxT("text")), wxRichTextCtrl);
    if (!view)
        return seen;
    seen.text = view->GetValue().utf8_string();
    seen.fixedPitch = view->GetFont().IsFixedWidth();
    seen.defaultText = view->GetBasicStyle().GetTextColour();
    for (wxRichTextObjectList::compatibility_iterator node = view->GetBuffer().GetChildren().GetFirst(); node;
         node = node->GetNext()) {
        auto* paragraph = wxDynamicCast(node->GetData(), wxRichTextParagraph);
        const wxRichTextRange range = paragraph->GetRange();
        seen.lines.push_back(view->GetRange(range.GetStart(), range.GetEnd()).utf8_string());
        wxRichTextAttr style; // a fresh one per query: a reused one keeps old colours
        view->GetStyle(range.GetStart(), style);
        seen.textColours.push_back(style.HasTextColour() ? style.GetTextColour() : wxNullColour);
        seen.backgrounds.push_back(style.HasBackgroundColour() ? style.GetBackgroundColour() : wxNullColour);
    }
    return seen;
}

} // namespace

TEST_F(CompletionPageTest, PreviewShowsWhatTheSaveWritesInItsColours)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "# head\n"
                         "max_connections = 100\t\t# clients\n"
                         "#work_mem = 4MB\n"
                         "random_page_cost = 3\n"
                         "#shared_buffers = 32MB\n"
                         "shared_buffers = 128MB\n"
                         "max_connections = 50\n"
                         "# tail\n");
    ChooseFile(conf, folder.path());

    std::vector<PreviewSeen> previews;
    ModalAnswerer answer([&](wxDialog* dialog) {
        previews.push_back(ReadPreview(dialog));
        return static_cast<int>(wxID_CANCEL);
    });
    const int layoutsBefore = previewLayoutFigures.fullLayouts;
    wxCommandEvent click(wxEVT_BUTTON, 1004);
    page->reviewButton->GetEventHandler()->ProcessEvent(click);
    page->reviewButton->GetEventHandler()->ProcessEvent(click);
    ASSERT_EQ(previews.size(), 2u);
    EXPECT_EQ(previewLayoutFigures.fullLayouts - layoutsBefore, 2) << "one layout of the whole text per preview";
    EXPECT_EQ(CapturedLog::Errors(), std::vector<std::string>{});
    EXPECT_EQ(page->progressDialog, nullptr);
    // Three texts before the lines, one per changed line (five), closing, preparing, two loading.
    EXPECT_EQ(page->progressValue, 12);

    const PreviewSeen& seen = previews[0];
    EXPECT_EQ(seen.title, "postgresql.conf");
    EXPECT_TRUE(seen.fixedPitch);
    EXPECT_EQ(WithoutStamps(seen.text), WithoutStamps(previews[1].text)) << "pressing Review twice";

    const wxColour green(20, 200, 100), cream(255, 244, 220), red(255, 0, 0);
    struct Expected {
        const char* line;
        wxColour text;
        wxColour background;
    };
    const Expected expected[] = {
        {"# head", wxNullColour, wxNullColour},
        {"# NOTE: This has been modified by Norvane's Pelloran on T", green, cream},
        {"#       Original Value for \"max_connections\" was \"100\"", green, cream},
        {"max_connections = 200\t\t# clients", red, cream},
        {"#work_mem = 4MB", green, cream},
        {"# NOTE: This parameter is been added by Norvane's Pelloran on T", green, cream},
        {"work_mem = 8MB", red, cream},
        {"random_page_cost = 3", wxNullColour, wxNullColour},
        {"shared_buffers = 256MB", wxNullColour, wxNullColour}, // superseded: switched on, plain
        {"# NOTE: This has been modified by Norvane's Pelloran on T", green, cream},
        {"#       Original Value for \"shared_buffers\" was \"128MB\"", green, cream},
        {"shared_buffers = 256MB", red, cream},
        {"", red, cream}, // the emptied repeat
        {"# tail", wxNullColour, wxNullColour},
        {"# NOTE: These parameters are added by Norvane's Pelloran on T", green, cream},
        {"# BEGIN", green, cream},
        {"maintenance_work_mem = 64MB", red, cream},
    };
    ASSERT_GE(seen.lines.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(WithoutStamps(seen.lines[i]), expected[i].line) << "line " << i;
        if (!expected[i].text.IsOk()) { // untouched: the control's own colours
            EXPECT_EQ(seen.textColours[i], seen.defaultText) << "text colour of line " << i << ": " << expected[i].line;
            EXPECT_NE(seen.backgrounds[i], cream) << "background of line " << i << ": " << expected[i].line;
            continue;
        }
        EXPECT_EQ(seen.textColours[i], expected[i].text) << "text colour of line " << i << ": " << expected[i].line;
        EXPECT_EQ(seen.backgrounds[i], expected[i].background) << "background of line " << i << ": " << expected[i].line;
    }
    EXPECT_EQ(seen.lines.back(), "# END");
    EXPECT_EQ(seen.textColours.back(), green);

    // The save writes the same lines.
    ASSERT_TRUE(page->MakeBackup());
    ASSERT_TRUE(page->SaveConfiguration());
    EXPECT_EQ(WithoutStamps(Replace(ReadFileBytes(conf), "\r\n", "\n")), WithoutStamps(seen.text) + "\n");
}

TEST_F(CompletionPageTest, ProgressAdvancesOneStepPerTextUpToItsMaximum)
{
    page->ReportStatus(wxT("nowhere"), 1);
    EXPECT_EQ(page->progressValue, 0) << "no dialog, no effect";
    page->ShowProgress(true);
    ASSERT_NE(page->progressDialog, nullptr);
    wxProgressDialog* first = page->progressDialog;
    page->ShowProgress(true);
    EXPECT_EQ(page->progressDialog, first) << "only one dialog";
    for (int i = 1; i <= 70; ++i) {
        page->ReportStatus(wxString::Format(wxT("text %d"), i), 1);
        EXPECT_EQ(page->progressDialog->GetValue(), std::min(i, 61)) << i;
    }
    EXPECT_EQ(page->progressValue, 62) << "held at the maximum, plus the step";
    page->ShowProgress(false);
    EXPECT_EQ(page->progressDialog, nullptr);
}

TEST_F(CompletionPageTest, NextSavesWithABackupAndRemovesCancel)
{
    TempDir folder;
    const std::string conf = folder.file("custom.conf"); // another name: the backup still gets the usual one
    const std::string original = "\xEF\xBB\xBF# caf\xC3\xA9\nmax_connections = 100\n";
    WriteFileBytes(conf, original);
    Server& server = ChooseFile(conf, folder.path() + "/");
    // What is shown and never written.
    server.advice.push_back({wxT("huge_pages"), wxT("reserve 1108 huge pages (vm.nr_hugepages)")});
    server.dropped.push_back({wxT("wal_level"), wxT("not a parameter the wizard writes")});
    WriteFileBytes(folder.file("postgresql.auto.conf"), "work_mem = '1GB'\n");

    std::string savedOnce;
    RunOnReviewPage([&]() {
        Screenshot(wizard, "review-page");
        // The label wraps where it likes: compare the words.
        std::string notices = page->notices->GetLabel().utf8_string();
        std::replace(notices.begin(), notices.end(), '\n', ' ');
        for (const char* line : {"Advice, not written: huge_pages: reserve 1108 huge pages (vm.nr_hugepages)",
                                 "Left out: wal_level: not a parameter the wizard writes",
                                 "postgresql.auto.conf also sets work_mem; the value set there wins.",
                                 "The server did not check the new configuration file: "})
            EXPECT_NE(notices.find(line), std::string::npos) << line << " in " << notices;
        Press(wxID_FORWARD);
        EXPECT_EQ(wizard->GetCurrentPage(), static_cast<wxWizardPage*>(wizard->thankYouPage));
        EXPECT_EQ(wizard->FindWindow(wxID_CANCEL), nullptr) << "Cancel removed after the save";
        Settle(wizard);
        Screenshot(wizard, "thank-you-page");
    });
    EXPECT_EQ(CapturedLog::Errors(), std::vector<std::string>{});
    EXPECT_TRUE(page->backupName.StartsWith(wxT("postgresql.conf.")));
    EXPECT_EQ(page->backupName.length(), std::string("postgresql.conf.").size() + 14);
    EXPECT_EQ(ReadFileBytes(BackupPath(folder)), "# caf\xC3\xA9\r\nmax_connections = 100\r\n");
    savedOnce = ReadFileBytes(conf);
    EXPECT_EQ(savedOnce.rfind("# caf\xC3\xA9\r\n# NOTE: This has been modified by", 0), 0u) << savedOnce;
    EXPECT_NE(savedOnce.find("\r\nmax_connections = 200\r\n"), std::string::npos);

    // The bold label names the file the backup got.
    auto* label = wxDynamicCast(page->GetChildren()[3], wxStaticText);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->GetLabel().Trim(), page->backupName);
    EXPECT_EQ(label->GetFont().GetWeight(), wxFONTWEIGHT_BOLD);

    // Again in the same run: no second backup, and the notes do not pile up.
    ASSERT_TRUE(page->MakeBackup());
    ASSERT_TRUE(page->SaveConfiguration());
    EXPECT_EQ(FolderSnapshot(folder.path()).size(), 3u) << "the file, its one backup and postgresql.auto.conf";
    EXPECT_EQ(WithoutStamps(ReadFileBytes(conf)), WithoutStamps(savedOnce));
}

TEST_F(CompletionPageTest, BackWritesNothing)
{
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, "max_connections = 100\n");
    ChooseFile(conf, folder.path());
    const auto before = FolderSnapshot(folder.path());
    RunOnReviewPage([&]() {
        Press(wxID_BACKWARD);
        EXPECT_EQ(wizard->GetCurrentPage(), static_cast<wxWizardPage*>(wizard->usagePage));
    });
    EXPECT_FALSE(page->backupMade);
    EXPECT_EQ(FolderSnapshot(folder.path()), before);
}

TEST_F(CompletionPageTest, AFailedSaveKeepsTheUserOnTheReviewPageWithCancel)
{
    const OrdinaryUser& user = TestUser();
    if (!user.available)
        GTEST_SKIP() << user.why;
    struct Case {
        const char* description;
        std::string content;
        mode_t fileMode;
        mode_t folderMode;
        std::string error; // <conf> and <backup> stand for the paths
        bool backupKept;   // the backup was made before the configuration file was refused
        bool asRoot = false;
        bool linkAtBackup = false; // planted at the name the page shows, to a root-owned file elsewhere
    };
    const Case cases[] = {
        {"file not writable", "max_connections = 100\n", 0444, 0777,
         "File Not Accessible: <conf>\nMake sure that you are running this application as an administrator.", true},
        {"file does not decode", "max_connections = 100 # caf\xE9\n", 0666, 0777,
         "The configuration file could not be read: <conf>\nIt is not UTF-8 text (at byte 27).\nNothing has been "
         "written.",
         false},
        {"backup cannot be written", "max_connections = 100\n", 0666, 0555,
         "The backup file could not be written: <backup>\nPermission denied\nThe configuration file has not been "
         "changed.",
         false},
        {"a link at the backup's name, saved by root", "max_connections = 100\n", 0644, 0777,
         "The backup file could not be written: <backup>\nSomething is already there under that name; it has been "
         "left alone.\nThe configuration file has not been changed.",
         false, true, true},
    };
    for (const Case& c : cases) {
        NewWizard();
        CapturedLog::Clear();
        TempDir folder;
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, c.content);
        chmod(conf.c_str(), c.fileMode);
        chmod(folder.path().c_str(), c.folderMode);
        ChooseFile(conf, folder.path());
        TempDir outside;
        const std::string victim = outside.file("root-owned");
        WriteFileBytes(victim, "root's own\n");
        struct stat victimBefore = {};
        ASSERT_EQ(stat(victim.c_str(), &victimBefore), 0);
        if (c.linkAtBackup) {
            ASSERT_EQ(symlink(victim.c_str(), BackupPath(folder).c_str()), 0);
        }
        const auto before = FolderSnapshot(folder.path());
        RunOnReviewPage([&]() {
            if (c.asRoot) {
                Press(wxID_FORWARD);
            } else {
                ActingAs acting(user);
                Press(wxID_FORWARD);
            }
            EXPECT_EQ(wizard->GetCurrentPage(), page) << c.description;
            EXPECT_NE(wizard->FindWindow(wxID_CANCEL), nullptr) << c.description;
        });
        const std::string expected = Replace(Replace(c.error, "<conf>", conf), "<backup>", BackupPath(folder));
        EXPECT_EQ(CapturedLog::Errors(), std::vector<std::string>{expected}) << c.description;
        EXPECT_EQ(page->backupMade, c.backupKept) << c.description;
        auto after = FolderSnapshot(folder.path());
        if (c.backupKept) {
            EXPECT_EQ(after[page->backupName.utf8_string()], "max_connections = 100\r\n") << c.description;
            after.erase(page->backupName.utf8_string());
        }
        EXPECT_EQ(after, before) << c.description;
        struct stat victimAfter = {};
        ASSERT_EQ(stat(victim.c_str(), &victimAfter), 0);
        EXPECT_EQ(ReadFileBytes(victim), "root's own\n") << c.description;
        EXPECT_EQ(victimAfter.st_uid, victimBefore.st_uid) << c.description;
        EXPECT_EQ(victimAfter.st_mode, victimBefore.st_mode) << c.description;
    }
}

TEST_F(CompletionPageTest, ScreenshotOfThePreviewOfARealFile)
{
    if (!FileExists(sampleFile))
        GTEST_SKIP() << sampleFile << " is not installed (package postgresql-15)";
    TempDir folder;
    const std::string conf = folder.file("postgresql.conf");
    WriteFileBytes(conf, ReadFileBytes(sampleFile));
    ChooseFile(conf, folder.path());
    PreviewSeen seen;
    ModalAnswerer answer([&](wxDialog* dialog) {
        dialog->CallAfter([dialog, &seen]() {
            // No window manager places it under Xvfb: put it where the screenshot looks.
            dialog->Move(0, 0);
            Settle(dialog);
            seen = ReadPreview(dialog);
            auto* view = wxDynamicCast(dialog->FindWindow(wxT("text")), wxRichTextCtrl);
            Screenshot(dialog, "preview-top");
            // The first change of the file, brought into view.
            // The first change of the file near the top: show a line further down, so the
            // view scrolls until the change is high up.
            std::size_t at = seen.text.find("# NOTE: This");
            for (int line = 0; line < 24 && at != std::string::npos; ++line)
                at = seen.text.find('\n', at + 1);
            if (view && at != std::string::npos) {
                view->ShowPosition(static_cast<long>(wxString::FromUTF8(seen.text.substr(0, at)).length()));
                Settle(dialog);
                Screenshot(dialog, "preview-changes");
            }
            dialog->EndModal(wxID_CANCEL);
        });
        return static_cast<int>(wxID_NONE);
    });
    wxCommandEvent click(wxEVT_BUTTON, 1004);
    page->reviewButton->GetEventHandler()->ProcessEvent(click);
    EXPECT_GT(seen.lines.size(), 800u);
    EXPECT_EQ(CapturedLog::Errors(), std::vector<std::string>{});
}

TEST_F(CompletionPageTest, APreviewOfAFileThatCannotBeReadShowsTheReasonNotAnEmptyFile)
{
    const OrdinaryUser& user = TestUser();
    struct Case {
        const char* description;
        std::string content;
        mode_t mode;
        std::string reason;
    };
    const Case cases[] = {
        {"undecodable", "max_connections = 100\n\xFF\xFE\xFD\n", 0644, "It is not UTF-8 text (at byte 22)."},
        {"unreadable", "max_connections = 100\n", 0000, "Permission denied"},
    };
    for (const Case& c : cases) {
        CapturedLog::Clear();
        TempDir folder;
        chmod(folder.path().c_str(), 0755);
        const std::string conf = folder.file("postgresql.conf");
        WriteFileBytes(conf, c.content);
        chmod(conf.c_str(), c.mode);
        ChooseFile(conf, folder.path());
        int previews = 0;
        ModalAnswerer answer([&](wxDialog*) {
            ++previews;
            return static_cast<int>(wxID_CANCEL);
        });
        {
            ActingAs acting(user);
            wxCommandEvent click(wxEVT_BUTTON, 1004);
            page->reviewButton->GetEventHandler()->ProcessEvent(click);
        }
        EXPECT_EQ(previews, 0) << c.description;
        EXPECT_EQ(page->progressDialog, nullptr) << c.description;
        EXPECT_EQ(CapturedLog::Errors(),
                  std::vector<std::string>{"The configuration file could not be read: " + conf + "\n" + c.reason})
            << c.description;
    }
}

TEST(PreviewBufferTest, OneParagraphPerLineWithTabStopsAndItsColours)
{
    const std::vector<PreviewLine> lines = {
        {wxT("plain\tline"), PreviewStyle::plain},
        {wxT("# NOTE: a note"), PreviewStyle::note},
        {wxT(""), PreviewStyle::setting},
        {wxT("work_mem = 8MB"), PreviewStyle::setting},
    };
    wxRichTextBuffer buffer;
    buffer.AddParagraph(wxT("old content that must go"));
    FillPreviewBuffer(buffer, lines);
    ASSERT_EQ(buffer.GetChildCount(), lines.size());
    EXPECT_EQ(buffer.GetText(), wxString(wxT("plain\tline\n# NOTE: a note\n\nwork_mem = 8MB")));
    const wxArrayInt expectedTabs = [] {
        wxArrayInt tabs;
        for (int stop : {150, 300, 450, 600, 750, 900, 1050, 1200, 1350})
            tabs.Add(stop);
        return tabs;
    }();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto* paragraph = wxDynamicCast(buffer.GetChild(i), wxRichTextParagraph);
        ASSERT_NE(paragraph, nullptr);
        EXPECT_EQ(paragraph->GetAttributes().GetTabs(), expectedTabs) << i;
        const wxRichTextAttr& text = paragraph->GetChild(0)->GetAttributes();
        switch (lines[i].style) {
        case PreviewStyle::plain:
            EXPECT_FALSE(text.HasTextColour()) << i;
            EXPECT_FALSE(text.HasBackgroundColour()) << i;
            break;
        case PreviewStyle::note:
            EXPECT_EQ(text.GetTextColour(), wxColour(20, 200, 100)) << i;
            EXPECT_EQ(text.GetBackgroundColour(), wxColour(255, 244, 220)) << i;
            break;
        case PreviewStyle::setting:
            EXPECT_EQ(text.GetTextColour(), wxColour(255, 0, 0)) << i;
            EXPECT_EQ(text.GetBackgroundColour(), wxColour(255, 244, 220)) << i;
            break;
        }
    }
}
