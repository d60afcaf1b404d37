// The usage page: how the machine is used; leaving it forward runs the tuning exchange.
#pragma once

#include <wx/wizard.h>

class SysInfoPage : public wxWizardPageSimple
{
public:
    explicit SysInfoPage(wxWizard* parent);

    virtual void OnPageChanging(wxWizardEvent& event);

private:
    wxDECLARE_EVENT_TABLE();
};
