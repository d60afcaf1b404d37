#include "app/wizard.h"

#include "pages/completion_page.h"
#include "pages/sysinfo_page.h"
#include "pages/thankyou_page.h"
#include "pages/welcome_page.h"

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/sizer.h>

wxBEGIN_EVENT_TABLE(Wizard, wxWizard)
    EVT_WIZARD_PAGE_CHANGED(wxID_ANY, Wizard::OnPageChanged)
    EVT_CLOSE(Wizard::OnCloseWindow)
wxEND_EVENT_TABLE()

Wizard::Wizard(wxWindow* parent, const wxBitmap& bitmap, std::future<std::vector<FoundInstallation>> found)
    : wxWizard(parent, wxID_ANY, _("Norvane Pelloran"), bitmap)
{
    sideBitmap = bitmap;
    SetBackgroundColour(*wxWHITE);

    welcomePage = new WelcomePage(this, std::move(found));
    usagePage = new SysInfoPage(this);
    reviewPage = new CompletionPage(this);
    thankYouPage = new ThankYouPage(this);

    welcomePage->SetNext(usagePage);
    usagePage->SetPrev(welcomePage);
    usagePage->SetNext(reviewPage);
    reviewPage->SetPrev(usagePage);
    reviewPage->SetNext(thankYouPage);

    // The page area grows to the largest page of the chain, so no page is cut off.
    GetPageAreaSizer()->Add(welcomePage);
    GetPageAreaSizer()->Add(420, 0);
    SetBorder(0);
}

Wizard::~Wizard() = default;

Server* Wizard::GetSelectedServer()
{
    if (!welcomePage->installationsFound)
        return &welcomePage->manualServer;
    const int selection = welcomePage->installationList->GetSelection();
    if (selection == wxNOT_FOUND)
        return nullptr;
    return static_cast<Server*>(welcomePage->installationList->GetClientObject(selection));
}

void Wizard::OnPageChanged(wxWizardEvent& event)
{
    if (wxWindow* back = FindWindow(wxID_BACKWARD)) {
        const wxWizardPage* page = GetCurrentPage();
        back->Enable(page != nullptr && page->GetPrev() != nullptr);
    }
    event.Skip();
}

void Wizard::OnCloseWindow(wxCloseEvent& event)
{
    if (!IsModal()) {
        event.Skip();
        return;
    }
    // Raised where the Cancel button raises it, so the same handlers see it.
    wxWindow* target = GetCurrentPage() ? static_cast<wxWindow*>(GetCurrentPage()) : this;
    wxWizardEvent cancel(wxEVT_WIZARD_CANCEL, GetId(), false, GetCurrentPage());
    cancel.SetEventObject(this);
    if (target->GetEventHandler()->ProcessEvent(cancel) && !cancel.IsAllowed()) {
        event.Veto();
        return;
    }
    EndModal(wxID_CANCEL);
}
