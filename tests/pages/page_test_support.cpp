#include "tests/pages/page_test_support.h"

#include <wx/button.h>
#include <wx/wizard.h>

#include "tests/support/program_run.h"

#include <wx/filename.h>

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

ScopedEnv::ScopedEnv(const char* variable, const std::string& value)
    : name(variable)
{
    if (const char* old = std::getenv(variable))
        previous = old;
    setenv(variable, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (previous)
        setenv(name.c_str(), previous->c_str(), 1);
    else
        unsetenv(name.c_str());
}

FileDialogAnswer::FileDialogAnswer(const std::string& chosen)
    : path(chosen)
    , answerer([this](wxDialog* dialog) -> int {
        auto* files = dynamic_cast<wxFileDialog*>(dialog);
        if (!files)
            return wxID_NONE;
        // The toolkit's own record of what the dialog was opened with.
        seen.push_back({files->GetMessage().utf8_string(), files->GetWildcard().utf8_string(),
                        files->wxFileDialogBase::GetFilename().utf8_string(), files->GetWindowStyle()});
        if (path.empty())
            return wxID_CANCEL;
        const wxString wanted = wxString::FromUTF8(path);
        files->SetPath(wanted);
        // The chooser reports the path only once it has loaded the folder.
        for (int round = 0; round < 400 && files->GetPath() != wanted; ++round) {
            PumpEvents();
            wxMilliSleep(5);
        }
        EXPECT_EQ(files->GetPath().utf8_string(), path) << "the file chooser did not take the path";
        return wxID_OK;
    })
{
}

WriteProtection::WriteProtection(const std::string& target)
    : path(target)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return;
    mode = status.st_mode & 07777;
    if (geteuid() == 0) {
        immutable = true;
        applied = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
    } else {
        applied = chmod(path.c_str(), mode & ~0222u) == 0;
    }
}

WriteProtection::~WriteProtection()
{
    if (!applied)
        return;
    if (immutable)
        std::system(("chattr -i '" + path + "'").c_str());
    else
        chmod(path.c_str(), mode);
}

bool LeavePage(wxWizardPage* page, bool forward)
{
    wxWizardEvent event(wxEVT_WIZARD_PAGE_CHANGING, page->GetParent()->GetId(), forward, page);
    event.SetEventObject(page);
    page->GetEventHandler()->ProcessEvent(event);
    return event.IsAllowed();
}

std::vector<std::string> TakeErrors()
{
    std::vector<std::string> errors = CapturedLog::Errors();
    CapturedLog::Clear();
    return errors;
}

