// The last page: the file is saved, restart the service, optionally learn about services.
#pragma once

#include <wx/wizard.h>

class wxCheckBox;

class ThankYouPage : public wxWizardPageSimple
{
public:
    explicit ThankYouPage(wxWizard* parent);

    virtual void OnPageChanging(wxWizardEvent& event);

    // Whether the services page is to be opened on finishing.
    bool WantsServicesInfo() const;

private:
    wxCheckBox* servicesCheckBox = nullptr;

    wxDECLARE_EVENT_TABLE();
};
