// What GUI tests share: the dialog-answering hook, pumping events, screenshots.
#pragma once

#include "tests/support/captured_log.h"

#include <gtest/gtest.h>

#define wxTEST_DIALOG_HOOK_CLASS GTestModalHook
#include <wx/testing.h>

#include <functional>
#include <string>

// Reports a dialog nobody expected as a test failure and cancels it, instead of hanging.
class GTestModalHook : public wxTestingModalHook
{
public:
    using wxTestingModalHook::wxTestingModalHook;

protected:
    int Enter(wxDialog* dialog) override;
    void ReportFailure(const wxString& message) override;
};

// Answers modal dialogs by calling the function given, which returns the answer, or
// wxID_NONE to let the dialog run (the wizard itself is modal too).
class ModalAnswerer : public wxModalDialogHook
{
public:
    explicit ModalAnswerer(std::function<int(wxDialog*)> answer);
    ~ModalAnswerer() override;

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog*) override {}

private:
    std::function<int(wxDialog*)> answer;
};

// Processes pending events and idle handlers until nothing is left.
void PumpEvents();

// Whether the window (or a part of it) holds the keyboard focus within its top-level window,
// whether or not that window is the active one: GUI tests share one display, and another
// test's window may be active at the moment.
bool HasFocusWithinItsWindow(wxWindow* window);

// Sends a click of the button to its handlers, as a real click does, then pumps events.
void Click(wxWindow* button);

// Writes the screen region of a window (the whole screen for none) to a PNG under the
// artifacts folder ($PELLORAN_ARTIFACTS or the build's test-artifacts) and returns the path.
std::string SaveScreenshot(wxWindow* window, const std::string& name);

// The message of a message dialog, empty for other dialogs.
std::string DialogMessage(wxDialog* dialog);
