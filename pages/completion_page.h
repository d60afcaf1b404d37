// The review page: preview the merged file; leaving it forward saves it with a backup.
#pragma once

#include <wx/wizard.h>

class CompletionPage : public wxWizardPageSimple
{
public:
    explicit CompletionPage(wxWizard* parent);

    virtual void OnPageChanging(wxWizardEvent& event);

private:
    wxDECLARE_EVENT_TABLE();
};
