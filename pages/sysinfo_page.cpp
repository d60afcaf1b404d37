#include "pages/sysinfo_page.h"

#include "pages/images.h"
#include "pages/wrapped_text.h"
#include "pages/proxy_settings.h"
#include "pages/selected_server_source.h"
#include "protocol/maker_constants.h"
#include "conf/active_settings.h"
#include "installations/server.h"
#include "tuning/machine_facts.h"
#include "tuning/tuning_exchange.h"

#include <wx/log.h>
#include <wx/progdlg.h>
#include <wx/radiobox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <algorithm>

wxBEGIN_EVENT_TABLE(SysInfoPage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, SysInfoPage::OnPageChanging)
    EVT_RADIOBOX(usageBoxId, SysInfoPage::OnUsageSelected)
wxEND_EVENT_TABLE()

namespace {

// The explanation of each usage choice, in the order of the radio buttons.
const wxString UsageExplanation(int usageIndex)
{
    switch (usageIndex) {
    case 1:
        return _("\nSeveral Applications will be running on this machine. Choose this option for web/application servers.");
    case 2:
        return _("\nThis machine is dedicated to run PostgreSQL and will use available memory to optimize performance.");
    default:
        return _("\nThis is a development machine and many other applications will be running on it. Stress testing "
                 "should not be preformed with this configuraiton. PostgreSQL will use a minimal amount of memory");
    }
}

constexpr int lastStatusStep = 6;
constexpr int usageDescriptionWidth = 275;

} // namespace

SysInfoPage::SysInfoPage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(0, 10);

    WrappedTexts texts(this);
    wxStaticText* question = texts.Add(_("Please select the type of usage required for this machine."), 400);
    pageSizer->Add(question, 0, wxALL, 5);

    auto* usageRow = new wxBoxSizer(wxHORIZONTAL);
    const wxString choices[] = {_("Development"), _("Mixed"), _("Dedicated")};
    usageBox = new wxRadioBox(this, usageBoxId, _("Server Utilization"), wxDefaultPosition, wxDefaultSize,
                              WXSIZEOF(choices), choices, 1, wxRA_SPECIFY_COLS);
    usageBox->SetSelection(0);
    usageRow->Add(usageBox, 0, wxALL | wxEXPAND, 5);
    usageDescription = texts.Add(UsageExplanation(0), usageDescriptionWidth);
    usageRow->Add(usageDescription, 0, wxALL | wxEXPAND, 5);
    pageSizer->Add(usageRow, 0, wxALL | wxEXPAND, 5);

    wxStaticText* whatIsSent = texts.Add(
        _("Upon clicking the 'Next' button, basic details of your hardware configuration and PostgreSQL installation "
          "will be sent to the Norvane servers which will calculate configuration values for your PostgreSQL server."),
        390);
    pageSizer->Add(whatIsSent, 0, wxALL, 5);

    wxStaticText* privacy = texts.Add(_("No data that could identify you or your machine will be sent, and no data "
                                        "other than standard webserver logs will be kept by Norvane."),
                                      300);
    pageSizer->Add(privacy, 0, wxALL, 5);

    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(15, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

void SysInfoPage::ShowDescription(int usageIndex)
{
    SetWrappedText(usageDescription, UsageExplanation(usageIndex), usageDescriptionWidth);
}

void SysInfoPage::OnUsageSelected(wxCommandEvent& event)
{
    ShowDescription(event.GetInt());
    Layout();
}

void SysInfoPage::OnPageChanging(wxWizardEvent& event)
{
    if (event.GetDirection() && !RunExchange())
        event.Veto();
}

bool SysInfoPage::RunExchange()
{
    auto* wizard = dynamic_cast<SelectedServerSource*>(GetParent());
    Server* server = wizard ? wizard->GetSelectedServer() : nullptr;
    const int usageIndex = usageBox->GetSelection();
    if (server == nullptr) {
        wxLogError(_("Unexpected Error!\nPlease visit %s for further assistance."), supportForumAddress);
        return false;
    }
    ShowProgress(true);
    const bool completed = ExchangeWithService(*server, usageIndex);
    ShowProgress(false);
    return completed;
}

bool SysInfoPage::ExchangeWithService(Server& server, int usageIndex)
{
    // A hand-chosen file's base directory is the file itself: no programs to ask.
    MachineFacts facts =
        DetectMachineFacts({DataDirectoryOf(server.GetConfFilePath(), server.dataDirectory), 0,
                            server.port != 0 ? server.baseDirectory : wxString()});
    facts.maxConnectionsNow = CurrentMaxConnections(server.GetConfFilePath(), server.dataDirectory);
    return ::ExchangeWithService(server, usageIndex, facts, ReadProxySettings,
                                 [this](int step, const wxString& text) { ReportStatus(step, text); });
}

void SysInfoPage::ShowProgress(bool show)
{
    if (show) {
        if (progressDialog == nullptr) {
            progressDialog = new wxProgressDialog(_("Norvane's Pelloran"), _("Initialize Webservice ...") + wxString(' ', 12),
                                                  lastStatusStep, this, wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_SMOOTH);
            progressDialog->Update(0);
        }
    } else if (progressDialog != nullptr) {
        progressDialog->Destroy();
        progressDialog = nullptr;
    }
}

void SysInfoPage::ReportStatus(int step, const wxString& text)
{
    if (progressDialog != nullptr)
        progressDialog->Update(std::min(step, lastStatusStep), text);
}
