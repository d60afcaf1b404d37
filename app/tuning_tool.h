// The application object: command line, the wizard, cancelling and finishing.
#pragma once

#include <wx/app.h>
#include <wx/wizard.h>

#include <functional>
#include <thread>

class Wizard;

class TuningTool : public wxApp
{
public:
    TuningTool();
    bool OnInit() override;
    ~TuningTool() override;

    void OnWizardCancel(wxWizardEvent& event);
    void OnWizardFinished(wxWizardEvent& event);

    Wizard* wizard = nullptr;

    // Ends the process once the wizard is gone. The toolkit's own exit ends with 255,
    // so the default is exit(); tests put a recorder here.
    static std::function<void(int)> endProcess;

private:
    std::thread decodersReady;

    wxDECLARE_EVENT_TABLE();
};

// The question put on cancelling; true when the user answers Yes.
bool ConfirmExit(wxWindow* parent);
