// main() of the GUI tests: starts the toolkit once, runs every test inside an active event
// loop (progress dialogs need one), and turns asserts and log boxes into test output.
#include "tests/support/gui_test.h"

#include "app/tuning_tool.h"
#include "tests/support/program_run.h"

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/msgdlg.h>

#include <cstdlib>

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

std::string SaveScreenshot(wxWindow* window, const std::string& name)
{
    PumpEvents();
    wxMilliSleep(100);
    PumpEvents();
    window->Update();
    const wxRect rect = window->GetScreenRect();
    wxScreenDC screen;
    wxBitmap bitmap(rect.width, rect.height);
    {
        wxMemoryDC memory(bitmap);
        memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
    }
    const char* folder = std::getenv("PELLORAN_ARTIFACTS");
    const wxString directory = wxString::FromUTF8(folder && *folder ? std::string(folder) : BuildDir() + "/test-artifacts");
    wxFileName::Mkdir(directory, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    const wxString path = directory + wxT("/") + wxString::FromUTF8(name) + wxT(".png");
    bitmap.ConvertToImage().SaveFile(path, wxBITMAP_TYPE_PNG);
    return path.utf8_string();
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
