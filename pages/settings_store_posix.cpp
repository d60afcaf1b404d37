#include "pages/settings_store.h"

#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/utils.h>

namespace {

// The application's own name, not the running program's: the store stays the same file
// whichever binary (the wizard, a test) opens it.
const wxChar storeName[] = wxT("Pelloran");

// $XDG_CONFIG_HOME when it is set to an absolute path, else ~/.config (the XDG rule).
wxString UserConfigDirectory()
{
    wxString directory;
    if (wxGetEnv(wxT("XDG_CONFIG_HOME"), &directory) && wxFileName(directory).IsAbsolute())
        return directory;
    return wxGetHomeDir() + wxT("/.config");
}

} // namespace

std::unique_ptr<wxConfigBase> OpenSettingsStore(bool forWriting)
{
    const wxString directory = UserConfigDirectory();
    // A fresh account may have no configuration folder yet; saving into it would fail.
    if (forWriting && !wxFileName::DirExists(directory))
        wxFileName::Mkdir(directory, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    const wxString file = directory + wxT("/") + storeName + wxT(".conf");
    auto store = std::make_unique<wxFileConfig>(storeName, wxEmptyString, file, wxEmptyString,
                                                wxCONFIG_USE_LOCAL_FILE);
    // Values are typed by the user: "$HOME" must come back as "$HOME", not expanded.
    store->SetExpandEnvVars(false);
    // Writers flush explicitly and learn the outcome; a second try at destruction would
    // only report the same failure again.
    store->DisableAutoSave();
    return store;
}
