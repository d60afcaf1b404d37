// The usage page: how the machine is used; leaving it forward runs the tuning exchange.
#pragma once

#include <wx/wizard.h>

class Server;
class wxProgressDialog;
class wxRadioBox;
class wxStaticText;

// Control id of the "Server Utilization" radio box.
constexpr int usageBoxId = 1002;

class SysInfoPage : public wxWizardPageSimple
{
public:
    explicit SysInfoPage(wxWizard* parent);

    virtual void OnPageChanging(wxWizardEvent& event);

    // Runs the exchange for the selected installation and usage; true when the wizard may move on.
    bool RunExchange();
    // The exchange with the tuning service, reporting its steps in the progress dialog.
    bool ExchangeWithService(Server& server, int usageIndex);
    // Opens the progress dialog (when none is open) or destroys it.
    void ShowProgress(bool show);
    // Moves the open progress dialog to min(step, 6) with the text; nothing when none is open.
    void ReportStatus(int step, const wxString& text);

    wxRadioBox* usageBox = nullptr;
    wxStaticText* usageDescription = nullptr;
    wxProgressDialog* progressDialog = nullptr;

private:
    void OnUsageSelected(wxCommandEvent& event);
    // The explanation of a usage choice, shown beside the radio box.
    void ShowDescription(int usageIndex);

    wxDECLARE_EVENT_TABLE();
};
