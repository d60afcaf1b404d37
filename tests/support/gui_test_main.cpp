// main() of the GUI tests: starts the toolkit once, runs every test inside an active event
// loop (progress dialogs need one), and turns asserts and log boxes into test output.
#include "tests/support/gui_test.h"

#include "app/tuning_tool.h"
#include "tests/support/program_run.h"

#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/utils.h>
#include <wx/msgdlg.h>

#include <cstdlib>
#include <dlfcn.h>

namespace {

class TestApp : public TuningTool
{
public:
    // The tests build the wizard themselves.
    bool OnInit() override { return true; }
};

void AssertToFailure(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    ADD_FAILURE_AT(file.utf8_str().data(), line)
        << "wx assert in " << func.utf8_string() << ": " << cond.utf8_string() << " " << msg.utf8_string();
}

} // namespace

wxIMPLEMENT_APP_NO_MAIN(TestApp);

int GTestModalHook::Enter(wxDialog* dialog)
{
    const int answer = wxTestingModalHook::Enter(dialog);
    return answer == wxID_NONE ? wxID_CANCEL : answer;
}

void GTestModalHook::ReportFailure(const wxString& message)
{
    ADD_FAILURE() << message.utf8_string();
}

ModalAnswerer::ModalAnswerer(std::function<int(wxDialog*)> answerFunction)
    : answer(std::move(answerFunction))
{
    Register();
}

ModalAnswerer::~ModalAnswerer()
{
    Unregister();
}

int ModalAnswerer::Enter(wxDialog* dialog)
{
    return answer(dialog);
}

void PumpEvents()
{
    for (int round = 0; round < 50; ++round) {
        wxTheApp->ProcessPendingEvents();
        bool more = false;
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) {
            while (loop->Pending()) {
                loop->Dispatch();
                more = true;
            }
            more = loop->ProcessIdle() || more;
        }
        wxTheApp->ProcessPendingEvents();
        if (!more && !wxTheApp->HasPendingEvents())
            break;
    }
}

bool HasFocusWithinItsWindow(wxWindow* window)
{
    // The toolkit's GTK library is loaded already; look its functions up rather than build
    // against its headers.
    using GetFocus = void* (*)(void*);
    using IsAncestor = int (*)(void*, void*);
    static const auto getFocus = reinterpret_cast<GetFocus>(dlsym(RTLD_DEFAULT, "gtk_window_get_focus"));
    static const auto isAncestor = reinterpret_cast<IsAncestor>(dlsym(RTLD_DEFAULT, "gtk_widget_is_ancestor"));
    wxWindow* topLevel = wxGetTopLevelParent(window);
    if (!getFocus || !isAncestor || !topLevel)
        return wxWindow::FindFocus() == window;
    void* focus = getFocus(topLevel->GetHandle());
    void* widget = window->GetHandle();
    return focus && (focus == widget || isAncestor(focus, widget));
}

void Click(wxWindow* button)
{
    ASSERT_NE(button, nullptr);
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(click);
    PumpEvents();
}

std::string SaveScreenshot(wxWindow* window, const std::string& name)
{
    for (int round = 0; round < 5; ++round) {
        PumpEvents();
        wxMilliSleep(40);
    }
    // Read back from the X server: in one process the toolkit's own screen copy comes back
    // black or stale for every window after the first.
    const char* folder = std::getenv("PELLORAN_ARTIFACTS");
    const std::string directory = folder && *folder ? std::string(folder) : BuildDir() + "/test-artifacts";
    wxFileName::Mkdir(wxString::FromUTF8(directory), wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    const std::string path = directory + "/" + name + ".png";
    std::vector<std::string> command = {"import", "-window", "root"};
    if (window) {
        window->Update();
        const wxRect rect = window->GetScreenRect();
        command.insert(command.end(), {"-crop", std::to_string(rect.width) + "x" + std::to_string(rect.height) +
                                                    "+" + std::to_string(rect.x) + "+" + std::to_string(rect.y)});
    }
    command.push_back(path);
    const ProgramResult result = RunProgram(command);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return path;
}

std::string DialogMessage(wxDialog* dialog)
{
    if (auto* message = dynamic_cast<wxMessageDialog*>(dialog))
        return message->GetMessage().utf8_string();
    return {};
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    // Harmless GTK chatter (settings back end, accessibility bridge) stays out of test output.
    setenv("GSETTINGS_BACKEND", "memory", 0);
    setenv("NO_AT_BRIDGE", "1", 0);
    if (!wxEntryStart(argc, argv) || !wxTheApp || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "cannot start the toolkit (is DISPLAY set?)\n");
        return 1;
    }
    wxInitAllImageHandlers();
    wxSetAssertHandler(AssertToFailure);
    delete wxLog::SetActiveTarget(new CapturedLog);

    int result = 0;
    {
        wxEventLoop loop;
        wxEventLoopActivator activate(&loop);
        result = RUN_ALL_TESTS();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
