// The wizard window and its chain of four pages.
#pragma once

#include "installations/discovery.h"
#include "pages/selected_server_source.h"

#include <wx/bitmap.h>
#include <wx/wizard.h>

#include <future>
#include <vector>

class WelcomePage;
class SysInfoPage;
class CompletionPage;
class ThankYouPage;

class Wizard : public wxWizard, public SelectedServerSource
{
public:
    // `found`, when given, is the installation discovery running meanwhile.
    Wizard(wxWindow* parent, const wxBitmap& bitmap, std::future<std::vector<FoundInstallation>> found = {});
    ~Wizard() override;

    // The installation being tuned: the selected list item's record, or the hand-chosen one.
    Server* GetSelectedServer() override;

    wxBitmap sideBitmap;
    WelcomePage* welcomePage = nullptr;
    SysInfoPage* usagePage = nullptr;
    CompletionPage* reviewPage = nullptr;
    ThankYouPage* thankYouPage = nullptr;

private:
    // The generic wizard enables Back on any page but the first; keep it in step with the chain.
    void OnPageChanged(wxWizardEvent& event);
    // Once the Cancel button is gone the close box would end the wizard without asking;
    // route it through the cancel handling on every page.
    void OnCloseWindow(wxCloseEvent& event);

    wxDECLARE_EVENT_TABLE();
};
