#include "pages/completion_page.h"

#include "conf/server_check.h"
#include "pages/preview_view.h"
#include "installations/server.h"
#include "pages/images.h"
#include "pages/wrapped_text.h"

#include <algorithm>

#include <wx/button.h>
#include <wx/datetime.h>
#include <wx/dialog.h>
#include <wx/log.h>
#include <wx/progdlg.h>
#include <wx/richtext/richtextctrl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace {

constexpr int reviewButtonId = 1004;
constexpr int progressMaximum = 61;

wxStaticText* AddWrappedText(WrappedTexts& texts, wxSizer* sizer, const wxString& text, int width, bool bold = false)
{
    wxStaticText* label = texts.Add(text, width, bold ? TextWeight::Bold : TextWeight::Normal);
    sizer->Add(label, 0, wxALL, 5);
    return label;
}

} // namespace

wxBEGIN_EVENT_TABLE(CompletionPage, wxWizardPageSimple)
    EVT_BUTTON(reviewButtonId, CompletionPage::OnReview)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, CompletionPage::OnPageChanging)
    EVT_WIZARD_PAGE_CHANGED(wxID_ANY, CompletionPage::OnPageChanged)
wxEND_EVENT_TABLE()

CompletionPage::CompletionPage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    wizard = dynamic_cast<SelectedServerSource*>(parent);

    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(0, 10);
    WrappedTexts texts(this);
    AddWrappedText(texts, pageSizer,
                   _("Configuration parameters for your PostgreSQL installation have been calculated based on your "
                     "desired usage and hardware configuration, and merged with your existing configuration "
                     "file.\n\nPlease click the 'Review' button to examine the new configuration file"),
                   400);
    pageSizer->Add(0, 20);
    reviewButton = new wxButton(this, reviewButtonId, _("Review"), wxDefaultPosition, wxDefaultSize, 0,
                                wxDefaultValidator, wxT("button"));
    pageSizer->Add(reviewButton, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);

    pageSizer->Add(0, 50);
    AddWrappedText(texts, pageSizer,
                   _("Upon clicking the 'Next' button, the configuration file wlll be saved and the original file "
                     "renamed to: "),
                   300);
    AddWrappedText(texts, pageSizer, backupName + wxString(wxT(' '), 32), 300, true);
    AddWrappedText(texts, pageSizer,
                   _("\nIf you do not wish to use the new configuration file, please press 'Back' to change the "
                     "options you have selected, or 'Cancel' to exit."),
                   300);
    notices = AddWrappedText(texts, pageSizer, wxString(), 400);
    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(15, 5));
    SetSizer(pageSizer);
    pageSizer->SetSizeHints(this);
    progressDialog = nullptr;
}

CompletionPage::~CompletionPage()
{
    ShowProgress(false);
}

wxString CompletionPage::BackupPath()
{
    Server* server = wizard->GetSelectedServer();
    return server ? BackupPathOf(*server) : wxString();
}

bool CompletionPage::MergeConfiguration(MergedLines& merged)
{
    ReportStatus(_("Initialize Parser"), 1);
    Server* server = wizard->GetSelectedServer();
    if (!server) {
        wxLogError(_("No PostgreSQL installation is selected."));
        return false;
    }
    wxString error;
    if (!MergeFromSource(*server, [this](const wxString& text) { ReportStatus(text, 1); }, merged, error)) {
        wxLogError(wxT("%s"), error);
        return false;
    }
    return true;
}

bool CompletionPage::MakeBackup()
{
    Server* server = wizard->GetSelectedServer();
    if (!server) {
        wxLogError(_("No PostgreSQL installation is selected."));
        return false;
    }
    wxString error;
    if (!WriteBackup(*server, error)) {
        wxLogError(wxT("%s"), error);
        return false;
    }
    return true;
}

bool CompletionPage::SaveConfiguration()
{
    Server* server = wizard->GetSelectedServer();
    if (!server) {
        wxLogError(_("No PostgreSQL installation is selected."));
        return false;
    }
    wxString error;
    if (!WriteTunedFile(*server, error)) {
        wxLogError(wxT("%s"), error);
        return false;
    }
    return true;
}

void CompletionPage::OnPageChanged(wxWizardEvent& event)
{
    if (event.GetPage() == this)
        ShowNotices();
}

void CompletionPage::ShowNotices()
{
    Server* server = wizard->GetSelectedServer();
    wxString text;
    if (server)
        for (const wxString& line : SaveNotices(*server))
            text += (text.empty() ? wxString() : wxString(wxT("\n"))) + line;
    SetWrappedText(notices, text, 400);
    Layout();
}

bool CompletionPage::CheckWithServer()
{
    Server* server = wizard->GetSelectedServer();
    if (!server) {
        wxLogError(_("No PostgreSQL installation is selected."));
        return false;
    }
    ServerCheckOutcome outcome;
    wxString error;
    if (!TunedSave::CheckWithServer(*server, outcome, error)) {
        wxLogError(wxT("%s"), error);
        ShowNotices();
        return false;
    }
    if (!outcome.dropped.empty()) {
        wxString names;
        for (const wxString& name : outcome.dropped)
            names += (names.empty() ? wxString() : wxString(wxT(", "))) + name;
        wxLogMessage(_("The server refused the values of %s; they have been left out of the saved file."), names);
    }
    return true;
}

void CompletionPage::OnPageChanging(wxWizardEvent& event)
{
    if (!event.GetDirection())
        return;
    // A save that did not happen keeps the user here, with Cancel, to fix the cause and
    // press Next again; moving on would announce a saved file that is not there. The server
    // judges the file before anything, the backup included, is written.
    if (!CheckWithServer() || !MakeBackup() || !SaveConfiguration()) {
        event.Veto();
        return;
    }
    if (wxWindow* cancel = GetParent()->FindWindow(wxID_CANCEL))
        cancel->Destroy();
}

void CompletionPage::ShowProgress(bool show)
{
    if (show) {
        if (progressDialog)
            return;
        progressDialog = new wxProgressDialog(wxT("Norvane's Pelloran"), wxString(wxT('*'), 62), progressMaximum, this,
                                              wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_SMOOTH);
        progressDialog->Update(0, wxString());
        progressValue = 0;
    } else if (progressDialog) {
        progressDialog->Destroy();
        progressDialog = nullptr;
    }
}

void CompletionPage::ReportStatus(const wxString& text, int step)
{
    if (!progressDialog)
        return;
    if (progressValue > progressMaximum)
        progressValue = progressMaximum;
    progressValue += step;
    // The gauge cannot go past its maximum; the count may, by one step.
    progressDialog->Update(std::min(progressValue, progressMaximum), text);
}

void CompletionPage::OnReview(wxCommandEvent&)
{
    const wxString stamp = NoteTimeStamp(wxDateTime::Now());
    wxDialog dialog(this, wxID_ANY, wxT("postgresql.conf"), wxDefaultPosition, wxSize(700, 600),
                    wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxMAXIMIZE_BOX | wxRESIZE_BORDER, wxT("dialog"));
    ShowProgress(true);
    MergedLines merged;
    if (!MergeConfiguration(merged)) {
        ShowProgress(false);
        return;
    }
    ReportStatus(_("Preparing to show the configuration file"), 1);
    wxRichTextCtrl* view = CreatePreviewView(&dialog);
    ReportStatus(_("Loading configuration file ..."), 1);
    ReportStatus(_("Loading configuration file ..."), 1);
    std::vector<PreviewLine> lines;
    while (std::unique_ptr<MergedLine> record = merged.PopFront())
        AppendPreviewLines(*record, stamp, lines);
    FillPreviewBuffer(view->GetBuffer(), lines);
    ShowProgress(false);
    LayOutPreview(*view);
    dialog.ShowModal();
}
