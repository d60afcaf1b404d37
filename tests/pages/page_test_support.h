// Helpers shared by the page tests: environment, the file dialog, file locks, page leaving.
#pragma once

#include "tests/support/gui_test.h"

#include <wx/filedlg.h>

#include <memory>
#include <optional>
#include <string>

class wxWindow;
class wxWizardPage;

// Sets an environment variable for the life of the object, then puts the old state back.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

// What a file dialog was opened with.
struct SeenFileDialog
{
    std::string message;
    std::string wildcard;
    std::string defaultFile;
    long style = 0;
};

// Answers the next file dialogs: confirms `path` (after the chooser has taken it), or
// cancels when `path` is empty. Other dialogs run as usual.
class FileDialogAnswer
{
public:
    explicit FileDialogAnswer(const std::string& path);
    std::vector<SeenFileDialog> seen;

private:
    std::string path;
    ModalAnswerer answerer;
};

// Takes away the right to write a file or folder, undone when the object goes. Root is
// not stopped by file modes, so as root the mark is the immutable attribute (chattr +i),
// which stops everyone; as an ordinary user the write bits are cleared.
class WriteProtection
{
public:
    explicit WriteProtection(const std::string& path);
    ~WriteProtection();
    bool Applied() const { return applied; }

private:
    std::string path;
    bool applied = false;
    bool immutable = false;
    unsigned mode = 0;
};

// Raises the page-changing event on the page; true when nobody vetoed it.
bool LeavePage(wxWizardPage* page, bool forward = true);

// The error texts logged since the last call, then forgets them.
std::vector<std::string> TakeErrors();
