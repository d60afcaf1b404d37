// The first page: pick a discovered installation, or a configuration file and version by hand.
#pragma once

#include "installations/server.h"

#include <wx/wizard.h>

class wxComboBox;

class WelcomePage : public wxWizardPageSimple
{
public:
    explicit WelcomePage(wxWizard* parent);

    virtual void OnPageChanging(wxWizardEvent& event);

    bool installationsFound = false;
    wxComboBox* installationList = nullptr; // items own their Server records
    Server manualServer;

private:
    wxDECLARE_EVENT_TABLE();
};
