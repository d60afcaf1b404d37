#include "pages/sysinfo_page.h"

#include "pages/images.h"

#include <wx/sizer.h>

wxBEGIN_EVENT_TABLE(SysInfoPage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, SysInfoPage::OnPageChanging)
wxEND_EVENT_TABLE()

SysInfoPage::SysInfoPage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(20, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

void SysInfoPage::OnPageChanging(wxWizardEvent&)
{
}
