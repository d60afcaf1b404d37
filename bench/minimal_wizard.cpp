// The start-up bench's baseline: the least a wxWidgets wizard of four pages does before its
// window maps. Keep it that way (no images, no discovery, no settings, only the toolkit's
// core and base libraries), or the bench's ratio stops meaning anything.
#include <wx/app.h>
#include <wx/stattext.h>
#include <wx/wizard.h>

class MinimalWizardApp : public wxApp
{
public:
    bool OnInit() override
    {
        auto* wizard = new wxWizard(nullptr, wxID_ANY, wxT("Minimal wizard"));
        wxWizardPageSimple* pages[4];
        for (int i = 0; i < 4; ++i) {
            pages[i] = new wxWizardPageSimple(wizard);
            new wxStaticText(pages[i], wxID_ANY, wxString::Format(wxT("Page %d"), i + 1));
            if (i > 0)
                wxWizardPageSimple::Chain(pages[i - 1], pages[i]);
        }
        wizard->RunWizard(pages[0]);
        wizard->Destroy();
        return false;
    }
};

wxIMPLEMENT_APP(MinimalWizardApp);
