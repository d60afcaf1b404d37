// The first page: pick a discovered installation, or a configuration file and version by hand.
#pragma once

#include "installations/discovery.h"
#include "installations/server.h"

#include <wx/wizard.h>

#include <future>
#include <vector>

class FileSelectorCombo;
class wxButton;
class wxComboBox;

class WelcomePage : public wxWizardPageSimple
{
public:
    // Runs the installation discovery, or takes what `found` is finding meanwhile; what it
    // finds decides the page's layout for good.
    explicit WelcomePage(wxWizard* parent, std::future<std::vector<FoundInstallation>> found = {});

    // Leaving: refuses, with the reason in the error log, a choice that cannot be tuned.
    virtual void OnPageChanging(wxWizardEvent& event);

    // Appends each discovered installation to installationList; true when any was.
    bool FindInstallations();

    // Opens the proxy dialog.
    void OnProxyButton(wxCommandEvent& event);

    // A file chosen by hand: the version box shows the version its folder tells, unless the
    // user has picked one.
    void OnFileChosen(wxCommandEvent& event);
    // The user picked an entry of the version box (programmatic changes send no event).
    void OnVersionChosen(wxCommandEvent& event);

    bool installationsFound = false;
    FileSelectorCombo* fileSelector = nullptr; // hand-chosen mode only
    wxComboBox* installationList = nullptr;    // items own their Server records
    wxComboBox* versionBox = nullptr;          // hand-chosen mode only
    wxComboBox* buildBox = nullptr;            // hand-chosen mode only
    wxButton* proxyButton = nullptr;
    Server manualServer;

private:
    void ValidateListChoice(wxWizardEvent& event);
    void ValidateHandChoice(wxWizardEvent& event);

    bool versionPickedByUser = false;
    std::future<std::vector<FoundInstallation>> foundMeanwhile;

    wxDECLARE_EVENT_TABLE();
};

// The "Proxy server" button; the installation list, version box and build box share 1003.
constexpr int proxyButtonId = 1002;
constexpr int welcomeChoiceId = 1003;
