#include "app/tuning_tool.h"

#include "app/command_line.h"
#include "app/toolkit_preparation.h"
#include "app/wizard.h"
#include "pages/images.h"
#include "pages/thankyou_page.h"
#include "pages/welcome_page.h"
#include "protocol/maker_constants.h"

#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <cstdio>
#include <cstdlib>
#include <future>

namespace {

void FlushAndExit(int code)
{
    std::fflush(nullptr);
    std::exit(code);
}

} // namespace

std::function<void(int)> TuningTool::endProcess = FlushAndExit;

wxBEGIN_EVENT_TABLE(TuningTool, wxApp)
    EVT_WIZARD_CANCEL(wxID_ANY, TuningTool::OnWizardCancel)
    EVT_WIZARD_FINISHED(wxID_ANY, TuningTool::OnWizardFinished)
wxEND_EVENT_TABLE()

// The application object is made before the toolkit opens the display.
TuningTool::TuningTool()
{
    StartFontConfiguration();
}

bool TuningTool::OnInit()
{
    SetAppName(wxT("Pelloran"));
    SetVendorName(wxT("Norvane"));

    wxCmdLineParser parser(argc, argv);
    if (ParseCommandLine(parser) != 0)
        return false;

    // Both run while the window is built: discovery reads the registry and the servers'
    // folders and may run their programs, which would otherwise hold up the first page.
    auto found = std::async(std::launch::async, DiscoverAllInstallations);
    decodersReady = PrepareImageDecoders();
    wizard = new Wizard(nullptr, CreateSideImage(), std::move(found));
    return wizard->RunWizard(wizard->welcomePage);
}

TuningTool::~TuningTool()
{
    if (decodersReady.joinable())
        decodersReady.join();
}

bool ConfirmExit(wxWindow* parent)
{
    // These two texts are shown as written, without translation.
    return wxMessageBox(wxT("Are you sure you want to close the Norvane Pelloran?"), wxT("Exit wizard?"),
                        wxYES_NO | wxICON_QUESTION, parent) == wxYES;
}

void TuningTool::OnWizardCancel(wxWizardEvent& event)
{
    if (!ConfirmExit(wizard)) {
        event.Veto();
        return;
    }
    wizard->Destroy();
    endProcess(0);
}

void TuningTool::OnWizardFinished(wxWizardEvent&)
{
    if (wizard->thankYouPage->WantsServicesInfo())
        wxLaunchDefaultBrowser(wxString::FromUTF8(servicesPageAddress));
    wizard->Destroy();
    endProcess(0);
}
