#include "pages/welcome_page.h"

#include "installations/discovery.h"
#include "installations/server_program.h"
#include "pages/file_selector_combo.h"
#include "pages/images.h"
#include "pages/proxy_dialog.h"
#include "pages/wrapped_text.h"

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <algorithm>

wxBEGIN_EVENT_TABLE(WelcomePage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, WelcomePage::OnPageChanging)
    EVT_BUTTON(proxyButtonId, WelcomePage::OnProxyButton)
    EVT_FILE_CHOSEN(wxID_ANY, WelcomePage::OnFileChosen)
    EVT_COMBOBOX(welcomeChoiceId, WelcomePage::OnVersionChosen)
wxEND_EVENT_TABLE()

namespace {

const int wrapWidth = 400;
// What the version box shows until a version is detected or picked.
const wxChar* const initialVersion = wxT("8.4");

// A wrapped paragraph of the page. Its minimum height is the one asked for, or more when
// the wrapped text needs more in the current font, so that no line is cut off.
void AddParagraph(WrappedTexts& texts, wxSizer* sizer, const wxString& text, int minimumHeight)
{
    wxStaticText* paragraph = texts.Add(text, wrapWidth);
    sizer->Add(paragraph, 0, wxALL, 5);
    paragraph->SetMinSize(wxSize(wrapWidth, std::max(minimumHeight, paragraph->GetBestSize().y)));
}

// A drop-down of the given width, or wider where the toolkit's arrow button would leave
// no room to show the entries.
void FitComboWidth(wxComboBox* box, int width)
{
    box->InvalidateBestSize();
    const int needed = std::max(width, box->GetBestSize().x);
    box->SetMinSize(wxSize(needed, box->GetSize().y));
    box->SetSize(wxSize(needed, box->GetSize().y));
}

wxStaticText* Label(wxWindow* page, const wxString& text)
{
    return new wxStaticText(page, wxID_ANY, text, wxDefaultPosition, wxDefaultSize, 0, wxT("staticText"));
}

// A file the access test will not take whatever the rights (a link, a folder): running as
// an administrator would not help, so the usual advice is not given.
wxString RefusedFileText(const wxString& refusal)
{
    return _("The configuration file cannot be used: ") + refusal;
}

} // namespace

WelcomePage::WelcomePage(wxWizard* parent, std::future<std::vector<FoundInstallation>> found)
    : wxWizardPageSimple(parent), foundMeanwhile(std::move(found))
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(0, 10);

    WrappedTexts texts(this);
    wxStaticText* title = texts.Add(_("Welcome to the Norvane Pelloran"), wrapWidth, TextWeight::Title);
    pageSizer->Add(title, 0, wxALL | wxALIGN_CENTER_HORIZONTAL, 10);

    AddParagraph(texts, pageSizer,
                 _("This wizard will perform basic tuning of your PostgreSQL installation based on the options you "
                   "specify and your hardware specifications.\n\nNote that systems under very high load or used "
                   "for benchmarking may also require further manual tuning for the specific workload to obtain "
                   "maximum performance."),
                 70);

    installationList = new wxComboBox(this, welcomeChoiceId, wxEmptyString, wxDefaultPosition, wxSize(300, 25), 0,
                                      nullptr, wxCB_DROPDOWN | wxCB_READONLY, wxDefaultValidator, wxT("comboBox"));
    installationList->Hide();

    installationsFound = FindInstallations();
    if (installationsFound) {
        AddParagraph(texts, pageSizer,
                     _("To begin, please select the installation that you would like to tune from the list below."),
                     30);
        pageSizer->Add(installationList, 0, wxALL, 5);
        installationList->Show();
        pageSizer->Add(5, 75);
    } else {
        AddParagraph(texts, pageSizer,
                     _("A PostgreSQL installation could not be found. Please select the postgresql.conf file and "
                       "server version for tuning."),
                     30);
        auto* fileRow = new wxBoxSizer(wxHORIZONTAL);
        auto* versionRow = new wxBoxSizer(wxHORIZONTAL);
        fileSelector = new FileSelectorCombo(this, wxID_ANY, wxEmptyString, wxPoint(0, 0), wxSize(300, 25), 0,
                                             wxDefaultValidator, wxT("comboBox"));
        auto* versionLabel = Label(this, _("Version"));
        versionBox = new wxComboBox(this, welcomeChoiceId, initialVersion, wxDefaultPosition, wxSize(50, 25), 0,
                                    nullptr, wxCB_DROPDOWN | wxCB_READONLY, wxDefaultValidator, wxT("comboBox"));
        auto* buildLabel = Label(this, _("Build"));
        buildBox = new wxComboBox(this, welcomeChoiceId, wxT("x86"), wxDefaultPosition, wxSize(50, 25), 0,
                                  nullptr, wxCB_DROPDOWN | wxCB_READONLY, wxDefaultValidator, wxT("comboBox"));
        fileRow->Add(fileSelector, 0, wxALL, 4);
        versionRow->Add(versionLabel, 0, wxALL | wxALIGN_CENTER_VERTICAL, 4);
        versionRow->Add(versionBox, 0, wxALL, 4);
        versionRow->Add(buildLabel, 0, wxALL | wxALIGN_CENTER_VERTICAL, 4);
        versionRow->Add(buildBox, 0, wxALL, 4);
        pageSizer->Add(fileRow, 0, wxEXPAND | wxALL, 5);
        pageSizer->Add(versionRow, 0, wxEXPAND | wxALL, 5);
        fileSelector->SetFocus();
        pageSizer->Add(5, 0);

        for (const char* version : tunedServerVersions)
            versionBox->Append(wxString::FromAscii(version));
        versionBox->SetValue(initialVersion);
        buildBox->Append(wxT("x86"));
        buildBox->SetSelection(0);
        buildBox->Disable();
        FitComboWidth(versionBox, 50);
        FitComboWidth(buildBox, 50);
    }

    proxyButton = new wxButton(this, proxyButtonId, _("Proxy server"), wxDefaultPosition, wxDefaultSize, 0,
                               wxDefaultValidator, wxT("button"));
    pageSizer->Add(proxyButton, 0, wxALL, 15);

    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(20, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

bool WelcomePage::FindInstallations()
{
    std::vector<FoundInstallation> found = foundMeanwhile.valid() ? foundMeanwhile.get() : DiscoverAllInstallations();
    for (FoundInstallation& item : found)
        installationList->Append(item.listText, item.server.release());
    return !found.empty();
}

void WelcomePage::OnProxyButton(wxCommandEvent&)
{
    ProxyDialog dialog(this, _("Proxy server configuration"));
    dialog.ShowModal();
}

void WelcomePage::OnFileChosen(wxCommandEvent& event)
{
    if (!versionBox || versionPickedByUser)
        return;
    // Only a version the box offers: the service cannot tune another one.
    const wxString detected = FindConfFileServer(event.GetString()).version;
    if (detected.empty() || !versionBox->SetStringSelection(detected))
        versionBox->SetStringSelection(initialVersion);
}

void WelcomePage::OnVersionChosen(wxCommandEvent& event)
{
    if (versionBox && event.GetEventObject() == versionBox)
        versionPickedByUser = true;
    event.Skip(); // the installation list shares the id; its picks go on as before
}

void WelcomePage::OnPageChanging(wxWizardEvent& event)
{
    // The first page is only ever left forward; a jump backward has nothing to check.
    if (!event.GetDirection())
        return;
    if (installationsFound)
        ValidateListChoice(event);
    else
        ValidateHandChoice(event);
}

void WelcomePage::ValidateListChoice(wxWizardEvent& event)
{
    const int selection = installationList->GetSelection();
    if (selection == wxNOT_FOUND) {
        wxLogError(wxT("%s"), _("You must select the installation to tune before, you continue."));
        event.Veto();
        return;
    }
    auto* server = static_cast<Server*>(installationList->GetClientObject(selection));
    wxString refusal;
    if (!server->CheckConfAccess(&refusal)) {
        wxLogError(wxT("%s"), refusal.empty() ? _("The postgresql.conf for the selected server is not accessible.\n"
                                                  "Please try again by running the Pelloran as an administrator")
                                              : RefusedFileText(refusal));
        event.Veto();
    }
}

void WelcomePage::ValidateHandChoice(wxWizardEvent& event)
{
    if (!fileSelector || fileSelector->GetFileName().empty()) {
        wxLogError(wxT("%s"), _("You must select the postgresql.conf to tune, before you continue."));
        event.Veto();
        return;
    }
    const wxString path = fileSelector->GetPath();
    if (!wxFileExists(path)) {
        wxLogError(_("File '%s' not found"), path);
        event.Veto();
        return;
    }
    manualServer.SetVersion(versionBox->GetSelection() == wxNOT_FOUND ? wxString(initialVersion)
                                                                      : versionBox->GetValue());
    manualServer.bitness = ConfFileBitness(path);
    manualServer.dataDirectory = fileSelector->GetDirectory() + wxT("/");
    manualServer.baseDirectory = path;
    wxString refusal;
    if (!manualServer.CheckConfAccess(&refusal)) {
        wxLogError(wxT("%s"), refusal.empty() ? _("The selected configuration file does not exist or not accessible.\n"
                                                  "You may not have rights to write the file.\n\nNOTE: Please try "
                                                  "to run the Pelloran as an administrator.")
                                              : RefusedFileText(refusal));
        event.Veto();
    }
}
