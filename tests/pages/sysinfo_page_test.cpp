// The usage page inside the real modal wizard: its texts and choices, going back, and
// leaving it forward, which runs the exchange. The service here is the canned responder
// (the real service's runs are in the exchange's own tests); it answers like the service.
#include "app/tuning_tool.h"
#include "app/wizard.h"
#include "installations/server.h"
#include "pages/completion_page.h"
#include "pages/images.h"
#include "pages/sysinfo_page.h"
#include "pages/welcome_page.h"
#include "tests/support/gui_test.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/exchange_support.h"
#include "tests/tuning/loopback_service.h"
#include "protocol/maker_constants.h"
#include "tuning/system_info.h"

#include <wx/progdlg.h>
#include <wx/radiobox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/weakref.h>

namespace {

const std::string explanations[] = {
    "\nThis is a development machine and many other applications will be running on it. Stress testing should not "
    "be preformed with this configuraiton. PostgreSQL will use a minimal amount of memory",
    "\nSeveral Applications will be running on this machine. Choose this option for web/application servers.",
    "\nThis machine is dedicated to run PostgreSQL and will use available memory to optimize performance.",
};
const char* const choiceNames[] = {"development", "mixed", "dedicated"};

// Wrapping turns spaces into line breaks; compare the words.
std::string Unwrapped(const wxString& text)
{
    std::string flat = text.utf8_string();
    std::replace(flat.begin() + (flat.empty() ? 0 : 1), flat.end(), '\n', ' ');
    return flat;
}

class UsagePageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        CapturedLog::Clear();
        FreeExchangeId();
        TuningTool::endProcess = [this](int code) { exitCodes.push_back(code); };
        wizard = new Wizard(nullptr, CreateSideImage());
        alive = wizard;
        static_cast<TuningTool*>(wxTheApp)->wizard = wizard;
        page = wizard->usagePage;
        wizard->welcomePage->installationsFound = false;
        Server& server = wizard->welcomePage->manualServer;
        server.version = wxT("8.4");
        server.bitness = wxT("64");
        server.baseDirectory = wxT("/tmp/postgresql.conf");
    }

    void TearDown() override
    {
        if (wxWizard* left = alive.get(); left && !wxPendingDelete.Member(left))
            left->Destroy();
        PumpEvents();
        FreeExchangeId();
    }

    // Runs the wizard modally from the usage page; `steps` runs inside and the run ends with
    // a confirmed cancel.
    void Run(std::function<void()> steps)
    {
        ModalAnswerer yes([](wxDialog* dialog) {
            return DialogMessage(dialog).empty() ? static_cast<int>(wxID_NONE) : static_cast<int>(wxID_YES);
        });
        wizard->CallAfter([this, steps]() {
            PumpEvents();
            steps();
            Press(wxID_CANCEL);
        });
        wizard->RunWizard(page);
    }

    void Press(int id) { Click(wizard->FindWindow(id)); }

    void Choose(int index)
    {
        page->usageBox->SetSelection(index);
        wxCommandEvent selected(wxEVT_RADIOBOX, usageBoxId);
        selected.SetInt(index);
        selected.SetEventObject(page->usageBox);
        page->usageBox->GetEventHandler()->ProcessEvent(selected);
        PumpEvents();
    }

    Server& server() { return wizard->welcomePage->manualServer; }

    Wizard* wizard = nullptr;
    SysInfoPage* page = nullptr;
    wxWeakRef<wxWizard> alive;
    std::vector<int> exitCodes;
};

std::string ArtifactPath(const std::string& name)
{
    const char* folder = std::getenv("PELLORAN_ARTIFACTS");
    const std::string directory = folder && *folder ? std::string(folder) : BuildDir() + "/test-artifacts";
    RunProgram({"mkdir", "-p", directory});
    return directory + "/" + name + ".png";
}

std::string ServiceUrlNobodyServes()
{
    return "https://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/authws/services/AuthenticationService?wsdl";
}

} // namespace

TEST_F(UsagePageTest, TextsAndEachChoice)
{
    Run([&]() {
        EXPECT_EQ(wizard->GetCurrentPage(), page);
        EXPECT_EQ(page->usageBox->GetId(), 1002);
        EXPECT_EQ(page->usageBox->GetLabel(), wxString(wxT("Server Utilization")));
        ASSERT_EQ(page->usageBox->GetCount(), 3u);
        EXPECT_EQ(page->usageBox->GetString(0), wxString(wxT("Development")));
        EXPECT_EQ(page->usageBox->GetString(1), wxString(wxT("Mixed")));
        EXPECT_EQ(page->usageBox->GetString(2), wxString(wxT("Dedicated")));
        EXPECT_EQ(page->usageBox->GetSelection(), 0);
        EXPECT_EQ(Unwrapped(page->usageDescription->GetLabel()), explanations[0]);

        std::vector<std::string> texts;
        for (wxWindow* child : page->GetChildren())
            if (auto* text = dynamic_cast<wxStaticText*>(child); text && text != page->usageDescription)
                texts.push_back(Unwrapped(text->GetLabel()));
        const std::vector<std::string> expected = {
            "Please select the type of usage required for this machine.",
            "Upon clicking the 'Next' button, basic details of your hardware configuration and PostgreSQL installation "
            "will be sent to the Norvane servers which will calculate configuration values for your PostgreSQL server.",
            "No data that could identify you or your machine will be sent, and no data other than standard webserver "
            "logs will be kept by Norvane."};
        EXPECT_EQ(texts, expected);

        for (const int index : {1, 2, 0}) {
            Choose(index);

            EXPECT_EQ(Unwrapped(page->usageDescription->GetLabel()), explanations[index]) << index;
            EXPECT_LE(page->usageDescription->GetSize().x, 280) << "wrapped at 275 pixels";
            const wxRect area = page->GetClientRect();
            for (wxWindow* child : page->GetChildren())
                EXPECT_TRUE(area.Contains(child->GetRect()))
                    << "clipped: " << child->GetClassInfo()->GetClassName() << " '" << Unwrapped(child->GetLabel())
                    << "' at " << child->GetRect().x << "," << child->GetRect().y << " " << child->GetRect().width << "x"
                    << child->GetRect().height << " in " << area.width << "x" << area.height;
            SaveScreenshot(wizard, std::string("usage-page-") + choiceNames[index]);
        }
    });
    EXPECT_EQ(exitCodes, std::vector<int>{0});
}

TEST_F(UsagePageTest, GoingBackRunsNoExchangeAndKeepsTheChoice)
{
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    CannedService service;
    service.pairs = CannedService::TablePairs();
    CannedResponder responder([&](const RecordedRequest& request) { return service.Answer(request); }, certificate);
    ServiceTarget target(responder.Url("localhost"), certificate.certificateFile);
    Run([&]() {
        Choose(2);
        Press(wxID_BACKWARD);
        EXPECT_EQ(wizard->GetCurrentPage(), wizard->welcomePage);
        wizard->ShowPage(page, false);
        PumpEvents();
        EXPECT_EQ(page->usageBox->GetSelection(), 2);
        EXPECT_EQ(Unwrapped(page->usageDescription->GetLabel()), explanations[2]);
    });
    EXPECT_TRUE(responder.Requests().empty());
    EXPECT_TRUE(CapturedLog::Errors().empty());
}

TEST_F(UsagePageTest, AFailedExchangeKeepsThePageAndTheChoice)
{
    ServiceTarget target(ServiceUrlNobodyServes(), "");
    Run([&]() {
        Choose(1);
        testing::internal::CaptureStdout();
        Press(wxID_FORWARD);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no exchange identifier before the service answers";
        EXPECT_EQ(wizard->GetCurrentPage(), page);
        EXPECT_EQ(page->usageBox->GetSelection(), 1);
        EXPECT_EQ(page->progressDialog, nullptr);
        const std::vector<std::string> errors = CapturedLog::Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("Error accessing WebService!\n", 0), 0u) << errors[0];
    });
}

TEST_F(UsagePageTest, NoSelectedInstallationIsAnUnexpectedError)
{
    wizard->welcomePage->installationsFound = true; // list mode with nothing selected
    ServiceTarget target(ServiceUrlNobodyServes(), "");
    Run([&]() {
        Press(wxID_FORWARD);
        EXPECT_EQ(wizard->GetCurrentPage(), page);
        EXPECT_EQ(CapturedLog::Errors(),
                  std::vector<std::string>{"Unexpected Error!\nPlease visit " + std::string(supportForumAddress) +
                                           " for further assistance."});
    });
}

TEST_F(UsagePageTest, LeavingForwardRunsTheExchangeUnderAProgressDialog)
{
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    CannedService service;
    service.pairs = CannedService::TablePairs();
    std::string screenshot;
    CannedResponder responder(
        [&](const RecordedRequest& request) {
            // The wizard waits for this answer with the progress dialog up: photograph the screen.
            if (OperationOf(request) == "getQuorvelInfo" && screenshot.empty()) {
                screenshot = ArtifactPath("usage-page-progress");
                RunProgram({"import", "-window", "root", screenshot});
            }
            return service.Answer(request);
        },
        certificate);
    ServiceTarget target(responder.Url("localhost"), certificate.certificateFile);
    Run([&]() {
        Choose(2);
        Press(wxID_FORWARD);
        EXPECT_EQ(wizard->GetCurrentPage(), static_cast<wxWizardPage*>(wizard->reviewPage));
        EXPECT_EQ(page->progressDialog, nullptr);
        EXPECT_TRUE(CapturedLog::Errors().empty());
        ASSERT_FALSE(screenshot.empty());
        EXPECT_TRUE(FileExists(screenshot));
        EXPECT_EQ(server().values[0], wxString(CannedService::TableValues()[0]));
        EXPECT_EQ(server().values[16], wxString(CannedService::TableValues()[16]));
    });
    const std::vector<RecordedRequest> fetches = RequestsOf(responder, "getQuorvelInfo");
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(DecodedItems(fetches[0])[1], "100");
}

TEST_F(UsagePageTest, ProgressDialog)
{
    Run([&]() {
        page->ReportStatus(3, wxT("nobody sees this")); // no dialog: nothing happens
        EXPECT_EQ(page->progressDialog, nullptr);
        page->ShowProgress(true);
        wxProgressDialog* dialog = page->progressDialog;
        ASSERT_NE(dialog, nullptr);
        page->ShowProgress(true);
        EXPECT_EQ(page->progressDialog, dialog) << "one dialog at a time";
        EXPECT_EQ(dialog->GetTitle(), wxString(wxT("Norvane's Pelloran")));
        EXPECT_EQ(dialog->GetMessage(), wxString(wxT("Initialize Webservice ...            ")));
        EXPECT_EQ(dialog->GetRange(), 6);
        EXPECT_EQ(dialog->GetValue(), 0);
        page->ReportStatus(4, wxT("Fetching information ..."));
        EXPECT_EQ(dialog->GetValue(), 4);
        EXPECT_EQ(dialog->GetMessage(), wxString(wxT("Fetching information ...")));
        SaveScreenshot(nullptr, "usage-page-progress-step4");
        page->ReportStatus(9, wxT("Done"));
        EXPECT_EQ(dialog->GetValue(), 6) << "steps stop at 6";
        page->ShowProgress(false);
        EXPECT_EQ(page->progressDialog, nullptr);
        page->ShowProgress(false);
    });
}

TEST_F(UsagePageTest, EachChoiceAgainstTheRealService)
{
    LoopbackService service;
    ServiceTarget target(service.Url(), service.certificate.certificateFile);
    server().version = wxT("8.2"); // a version that has all 17 parameters
    const char* const connections[] = {"20", "100", "200"};
    Run([&]() {
        for (int index = 0; index < 3; ++index) {
            server().values = {};
            Choose(index);
            Press(wxID_FORWARD);
            ASSERT_EQ(wizard->GetCurrentPage(), static_cast<wxWizardPage*>(wizard->reviewPage)) << choiceNames[index];
            EXPECT_TRUE(CapturedLog::Errors().empty()) << choiceNames[index];
            for (std::size_t i = 0; i < tuningParameterCount; ++i)
                EXPECT_FALSE(server().values[i].empty()) << choiceNames[index] << " " << i;
            EXPECT_EQ(server().values[0], wxString::FromUTF8(connections[index])) << choiceNames[index];
            Press(wxID_BACKWARD);
            ASSERT_EQ(wizard->GetCurrentPage(), page);
            EXPECT_EQ(page->usageBox->GetSelection(), index);
        }
    });
}
