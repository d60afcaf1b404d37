#include "pages/thankyou_page.h"

#include "pages/images.h"
#include "pages/wrapped_text.h"

#include <wx/checkbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

wxBEGIN_EVENT_TABLE(ThankYouPage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, ThankYouPage::OnPageChanging)
wxEND_EVENT_TABLE()

namespace {

wxStaticText* AddWrappedLabel(WrappedTexts& texts, wxSizer* sizer, const wxString& text, bool bold)
{
    wxStaticText* label = texts.Add(text, 400, bold ? TextWeight::Bold : TextWeight::Normal);
    sizer->Add(label, 0, wxALL, 5);
    return label;
}

} // namespace

ThankYouPage::ThankYouPage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(0, 10);
    WrappedTexts texts(this);
    AddWrappedLabel(texts, pageSizer, _("Your new PostgreSQL configuration file has been saved."), false);
    pageSizer->Add(0, 10);
    AddWrappedLabel(texts, pageSizer, _("Please restart the PostgreSQL service to enable the changes."), true);
    pageSizer->Add(0, 10);
    AddWrappedLabel(texts, pageSizer, _("Thank you for using the Norvane Pelloran."), false);

    servicesCheckBox = new wxCheckBox(this, wxID_ANY, _("Display additional information about Norvane services"),
                                      wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator, wxT("check"));
    servicesCheckBox->SetValue(true);
    pageSizer->Add(servicesCheckBox, 0, wxALL, 5);

    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(15, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

void ThankYouPage::OnPageChanging(wxWizardEvent&)
{
}

bool ThankYouPage::WantsServicesInfo() const
{
    return servicesCheckBox->GetValue();
}
