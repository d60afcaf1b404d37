// The wizard's chain, navigation, cancelling and finishing, driven inside the real modal run.
#include "app/tuning_tool.h"
#include "app/wizard.h"
#include "pages/completion_page.h"
#include "pages/file_selector_combo.h"
#include "pages/images.h"
#include "pages/sysinfo_page.h"
#include "pages/thankyou_page.h"
#include "pages/welcome_page.h"
#include "tests/pages/page_test_support.h"
#include "tests/support/gui_test.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/exchange_support.h"
#include "protocol/maker_constants.h"

#include <wx/checkbox.h>
#include <wx/weakref.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

class WizardTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // No installation: the welcome page asks for a file, which NewWizard chooses.
        WriteFileBytes(confFolder.file("empty.reg"), "Windows Registry Editor Version 5.00\r\n");
        setenv("PELLORAN_REGISTRY", confFolder.file("empty.reg").c_str(), 1);
        CapturedLog::Clear();
        TuningTool::endProcess = [this](int code) { exitCodes.push_back(code); };
        NewWizard();
    }

    void NewWizard()
    {
        wizard = new Wizard(nullptr, CreateSideImage());
        alive = wizard;
        // A writable file chosen by hand, so the welcome page lets the tests move on.
        if (FileSelectorCombo* selector = wizard->welcomePage->fileSelector) {
            WriteFileBytes(confFolder.file("postgresql.conf"), "shared_buffers = 32MB\n");
            FileDialogAnswer answer(confFolder.file("postgresql.conf"));
            selector->OnButtonClick();
        }
        static_cast<TuningTool*>(wxTheApp)->wizard = wizard;
    }

    void TearDown() override
    {
        if (wxWizard* left = alive.get(); left && !wxPendingDelete.Member(left))
            left->Destroy();
        PumpEvents();
    }

    // Runs the wizard modally from the welcome page; `steps` runs inside the modal loop
    // and must end it (a confirmed cancel or Finish).
    bool Run(std::function<void()> steps)
    {
        wizard->CallAfter([steps]() {
            PumpEvents();
            steps();
        });
        return wizard->RunWizard(wizard->welcomePage);
    }

    void Press(int id) { Click(wizard->FindWindow(id)); }

    bool Enabled(int id)
    {
        wxWindow* button = wizard->FindWindow(id);
        return button && button->IsShown() && button->IsEnabled();
    }

    // Passing the usage page forward runs the exchange: a canned service on loopback answers it.
    CannedService service = [] {
        CannedService table;
        table.pairs = CannedService::TablePairs();
        return table;
    }();
    CannedResponder responder{[this](const RecordedRequest& request) { return service.Answer(request); }};
    ServiceTarget target{responder.Url(), ""};

    TempDir confFolder;
    Wizard* wizard = nullptr;
    wxWeakRef<wxWizard> alive; // the wizard destroys itself on a confirmed cancel or Finish
    std::vector<int> exitCodes;
};

// Answers the exit question and records it.
struct ExitQuestion
{
    explicit ExitQuestion(int firstReply)
        : reply(firstReply), answerer([this](wxDialog* dialog) {
              if (DialogMessage(dialog).empty())
                  return static_cast<int>(wxID_NONE); // the wizard itself
              questions.push_back(DialogMessage(dialog));
              titles.push_back(dialog->GetTitle().utf8_string());
              return reply;
          })
    {
    }
    int reply;
    std::vector<std::string> questions;
    std::vector<std::string> titles;
    ModalAnswerer answerer;
};

} // namespace

TEST_F(WizardTest, PagesAreChainedInOrder)
{
    EXPECT_EQ(wizard->GetTitle(), wxString(wxT("Norvane Pelloran")));
    EXPECT_EQ(wizard->welcomePage->GetPrev(), nullptr);
    EXPECT_EQ(wizard->welcomePage->GetNext(), wizard->usagePage);
    EXPECT_EQ(wizard->usagePage->GetPrev(), wizard->welcomePage);
    EXPECT_EQ(wizard->usagePage->GetNext(), wizard->reviewPage);
    EXPECT_EQ(wizard->reviewPage->GetPrev(), wizard->usagePage);
    EXPECT_EQ(wizard->reviewPage->GetNext(), wizard->thankYouPage);
    EXPECT_EQ(wizard->thankYouPage->GetPrev(), nullptr);
    EXPECT_EQ(wizard->thankYouPage->GetNext(), nullptr);
    EXPECT_TRUE(wizard->sideBitmap.IsOk());
    EXPECT_EQ(wizard->sideBitmap.GetSize(), wxSize(160, 310));
    EXPECT_EQ(LoadPageImage().GetSize(), wxSize(100, 100));
}

TEST_F(WizardTest, WelcomePageOpensWithBackDisabledAndCancelAnsweredYesEndsWithZero)
{
    ExitQuestion question(wxID_YES);
    Run([&]() {
        EXPECT_EQ(wizard->GetCurrentPage(), wizard->welcomePage);
        EXPECT_FALSE(Enabled(wxID_BACKWARD));
        EXPECT_TRUE(Enabled(wxID_FORWARD));
        EXPECT_TRUE(Enabled(wxID_CANCEL));
        SaveScreenshot(wizard, "wizard-welcome");
        Press(wxID_CANCEL);
    });
    ASSERT_EQ(question.questions.size(), 1u);
    EXPECT_EQ(question.questions[0], "Are you sure you want to close the Norvane Pelloran?");
    EXPECT_EQ(question.titles[0], "Exit wizard?");
    EXPECT_EQ(exitCodes, std::vector<int>{0});
    EXPECT_TRUE(CapturedLog::Errors().empty());
}

TEST_F(WizardTest, CancelAnsweredNoKeepsEveryPage)
{
    wxWizardPage* const pages[] = {wizard->welcomePage, wizard->usagePage, wizard->reviewPage};
    ExitQuestion question(wxID_NO);
    Run([&]() {
        for (wxWizardPage* page : pages) {
            if (wizard->GetCurrentPage() != page)
                wizard->ShowPage(page);
            PumpEvents();
            Press(wxID_CANCEL);
            EXPECT_EQ(wizard->GetCurrentPage(), page);
            EXPECT_TRUE(exitCodes.empty());
        }
        // Out through the close box, answered No, then Yes.
        wizard->Close();
        PumpEvents();
        EXPECT_EQ(wizard->GetCurrentPage(), wizard->reviewPage);
        question.reply = wxID_YES;
        wizard->Close();
    });
    EXPECT_EQ(question.questions.size(), 5u) << "three cancels, then the close box twice";
    EXPECT_EQ(exitCodes, std::vector<int>{0});
}

TEST_F(WizardTest, ThankYouPageHasNoBackAndTheCloseBoxStillAsks)
{
    ExitQuestion question(wxID_NO);
    Run([&]() {
        wizard->ShowPage(wizard->usagePage);
        PumpEvents();
        EXPECT_TRUE(Enabled(wxID_BACKWARD));
        wizard->ShowPage(wizard->thankYouPage);
        PumpEvents();
        EXPECT_FALSE(Enabled(wxID_BACKWARD));
        EXPECT_EQ(wizard->FindWindow(wxID_FORWARD)->GetLabel(), wxString(wxT("&Finish")));
        // As after a save: the Cancel button is gone, the close box must still ask.
        wizard->FindWindow(wxID_CANCEL)->Hide();
        wizard->Close();
        PumpEvents();
        EXPECT_EQ(wizard->GetCurrentPage(), wizard->thankYouPage);
        EXPECT_EQ(question.questions.size(), 1u);
        wizard->thankYouPage->GetChildren(); // page still alive
        static_cast<wxCheckBox*>(wizard->thankYouPage->FindWindow(wxT("check")))->SetValue(false);
        Press(wxID_FORWARD);
    });
    EXPECT_EQ(exitCodes, std::vector<int>{0});
}

TEST_F(WizardTest, FinishOpensTheServicesPageOnlyWhenTicked)
{
    // A recording xdg-open first on PATH stands in for the desktop's browser launcher.
    TempDir folder;
    const std::string record = folder.file("opened.txt");
    const std::string script = folder.file("xdg-open");
    WriteFileBytes(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
    chmod(script.c_str(), 0755);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", (folder.path() + ":" + oldPath).c_str(), 1);

    for (const bool ticked : {false, true}) {
        if (ticked)
            NewWizard();
        Run([&]() {
            wizard->ShowPage(wizard->thankYouPage);
            PumpEvents();
            EXPECT_TRUE(wizard->thankYouPage->WantsServicesInfo()) << "ticked by default";
            static_cast<wxCheckBox*>(wizard->thankYouPage->FindWindow(wxT("check")))->SetValue(ticked);
            Press(wxID_FORWARD);
        });
        PumpEvents();
    }
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(exitCodes, (std::vector<int>{0, 0}));

    for (int waited = 0; waited < 50 && !FileExists(record); ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(FileExists(record));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ReadFileBytes(record), std::string(servicesPageAddress) + "\n") << "opened once, by the ticked run";
}
