// The review page: preview the merged file; leaving it forward saves it with a backup.
#pragma once

#include "conf/merge_engine.h"
#include "conf/tuned_save.h"
#include "pages/selected_server_source.h"

#include <wx/wizard.h>

class wxButton;
class wxStaticText;
class wxProgressDialog;

class CompletionPage : public wxWizardPageSimple, public TunedSave
{
public:
    explicit CompletionPage(wxWizard* parent);
    ~CompletionPage() override;

    virtual void OnPageChanging(wxWizardEvent& event);
    void OnPageChanged(wxWizardEvent& event);
    // The lines shown under the text: advice and left-out values, the extension's failure,
    // and whether the server will check the file before it is saved.
    void ShowNotices();
    // The server's check of the file to be saved; false, with the server's words shown, when
    // it refuses what cannot be left out.
    bool CheckWithServer();

    // The merge of the configuration file, or of the backup once the save has made it.
    // False, with the error shown, when the file exists but cannot be read or decoded.
    bool MergeConfiguration(MergedLines& merged);
    // Writes the backup once per file; true when it is in place with the held rights.
    bool MakeBackup();
    // Merges again from the backup and writes the configuration file; true when written.
    bool SaveConfiguration();
    // The folder of the configuration file and the backup name.
    wxString BackupPath();

    void OnReview(wxCommandEvent& event);
    void ShowProgress(bool show);
    void ReportStatus(const wxString& text, int step);

    SelectedServerSource* wizard = nullptr;
    int progressValue = 0;
    wxButton* reviewButton = nullptr;
    wxStaticText* notices = nullptr;
    wxProgressDialog* progressDialog = nullptr;

private:
    wxDECLARE_EVENT_TABLE();
};
