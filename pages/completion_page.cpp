#include "pages/completion_page.h"

#include "pages/images.h"

#include <wx/sizer.h>

wxBEGIN_EVENT_TABLE(CompletionPage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, CompletionPage::OnPageChanging)
wxEND_EVENT_TABLE()

CompletionPage::CompletionPage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(20, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

void CompletionPage::OnPageChanging(wxWizardEvent&)
{
}
