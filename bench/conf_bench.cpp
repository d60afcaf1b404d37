// Speed of the merge (1 MB and 10 MB files) and of filling the preview (10,000 lines).
// Needs a display for the preview part (run under Xvfb). Prints one figure per line.
//   pelloran-conf-bench [--lines N] [--file PATH] [--skip-merge] [--baseline]
// --file also times the preview of that file (by default Debian's sample postgresql.conf
// when installed, the file initdb writes).
// --baseline also times a plain SetValue of the same text in the toolkit's own control;
// --slow-baseline writing it line by line with colours as well (minutes for 10,000 lines).
#include "conf/conf_file.h"
#include "conf/merge_engine.h"
#include "pages/preview_view.h"

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/richtext/richtextctrl.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A configuration text shaped like a real one: comment blocks, commented-out settings,
// active settings, some of them tuned.
std::vector<wxString> SyntheticFile(std::size_t lineCount)
{
    const char* pattern[] = {
        "# -----------------------------",
        "# PostgreSQL configuration file",
        "#------------------------------------------------------------------------------",
        "max_connections = 100\t\t\t# (change requires restart)",
        "#superuser_reserved_connections = 3\t# (change requires restart)",
        "shared_buffers = 128MB\t\t\t# min 128kB",
        "#work_mem = 4MB\t\t\t\t# min 64kB",
        "#maintenance_work_mem = 64MB\t\t# min 1MB",
        "",
        "#random_page_cost = 4.0\t\t\t# same scale as above",
        "#effective_cache_size = 4GB",
        "#autovacuum = on\t\t\t# Enable autovacuum subprocess?  'on'",
        "#autovacuum_naptime = 1min\t\t# time between autovacuum runs",
        "log_timezone = 'Etc/UTC'",
        "datestyle = 'iso, mdy'",
        "#lc_messages = 'C'\t\t\t# locale for system error message",
    };
    std::vector<wxString> lines;
    lines.reserve(lineCount);
    for (std::size_t i = 0; i < lineCount; ++i)
        lines.emplace_back(pattern[i % (sizeof pattern / sizeof pattern[0])]);
    return lines;
}

void Tune(Server& server)
{
    server.SetVersion("15");
    const char* values[tuningParameterCount] = {"200", "1GB", "8MB", "256MB", "", "", "16MB", "", "2.0",
                                                "3GB", "on", "2min", "60", "70", "0.1", "0.05", ""};
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        server.values[i] = values[i];
}

std::size_t ByteCount(const std::vector<wxString>& lines)
{
    std::size_t bytes = 0;
    for (const wxString& line : lines)
        bytes += line.length() + 1;
    return bytes;
}

void BenchMerge(std::size_t megabytes)
{
    std::vector<wxString> lines;
    std::size_t count = 1000;
    while (ByteCount(lines = SyntheticFile(count)) < megabytes * 1000000)
        count *= 2;
    while (ByteCount(lines) > megabytes * 1000000)
        lines.pop_back();
    Server server;
    Tune(server);
    const auto start = Clock::now();
    MergedLines merged = MergeConfigurationLines(server, &lines, wxDateTime::Now(), nullptr);
    const double mergeTime = Seconds(start);
    const auto annotateStart = Clock::now();
    std::vector<wxString> out;
    std::size_t written = 0;
    while (auto record = merged.PopFront()) {
        out.clear();
        AppendAnnotatedLines(*record, wxT("2026/01/02 03:04:05"), out);
        written += out.size();
    }
    std::printf("merge %zu MB (%zu lines): %.3f s, annotate (%zu lines out): %.3f s\n", megabytes, lines.size(),
                mergeTime, written, Seconds(annotateStart));
}

std::vector<PreviewLine> PreviewOf(const std::vector<wxString>& lines)
{
    Server server;
    Tune(server);
    MergedLines merged = MergeConfigurationLines(server, &lines, wxDateTime::Now(), nullptr);
    std::vector<PreviewLine> preview;
    while (auto record = merged.PopFront())
        AppendPreviewLines(*record, wxT("2026/01/02 03:04:05"), preview);
    return preview;
}

// Time from an empty dialog to the filled, laid-out, painted view.
// The control as the toolkit makes it, for the baselines.
wxRichTextCtrl* CreatePlainView(wxWindow* dialog)
{
    auto* view = new wxRichTextCtrl(dialog, wxID_ANY, wxString(), wxDefaultPosition, dialog->GetClientSize(),
                                    wxVSCROLL | wxHSCROLL | wxBORDER_NONE | wxWANTS_CHARS | wxTE_MULTILINE |
                                        wxTE_READONLY,
                                    wxDefaultValidator, wxT("text"));
    view->SetFont(PreviewFont());
    return view;
}

template <typename Fill>
double TimeFill(Fill fill, bool plainControl = false)
{
    const PreviewLayoutFigures atStart = previewLayoutFigures;
    const auto start = Clock::now();
    wxDialog dialog(nullptr, wxID_ANY, wxT("postgresql.conf"), wxDefaultPosition, wxSize(700, 600),
                    wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxMAXIMIZE_BOX | wxRESIZE_BORDER, wxT("dialog"));
    wxRichTextCtrl* view = plainControl ? CreatePlainView(&dialog) : CreatePreviewView(&dialog);
    fill(*view);
    dialog.Show();
    // A big text is first laid out only where it is visible, the rest later when idle:
    // count that part too, as the dialog is not usable before it.
    view->ForceDelayedLayout();
    view->LayoutContent();
    view->Refresh();
    view->Update();
    wxEventLoopBase::GetActive()->YieldFor(wxEVT_CATEGORY_UI);
    const double seconds = Seconds(start);
    std::printf("    (%d full layouts, %.3f s of it laying out)\n", previewLayoutFigures.fullLayouts - atStart.fullLayouts,
                previewLayoutFigures.seconds - atStart.seconds);
    // What the shown dialog does afterwards: any layout made again after the first.
    const PreviewLayoutFigures before = previewLayoutFigures;
    const auto settle = Clock::now();
    while (Seconds(settle) < 3) {
        wxEventLoopBase* loop = wxEventLoopBase::GetActive();
        while (loop->Pending())
            loop->Dispatch();
        loop->ProcessIdle();
        wxMilliSleep(10);
    }
    std::printf("    (then, while shown for 3 s: %d more full layouts, %.3f s laying out)\n",
                previewLayoutFigures.fullLayouts - before.fullLayouts, previewLayoutFigures.seconds - before.seconds);
    dialog.Hide();
    return seconds;
}

void BenchPreview(const wxString& what, const std::vector<wxString>& fileLines, bool baseline, bool slowBaseline)
{
    const std::vector<PreviewLine> preview = PreviewOf(fileLines);
    std::printf("preview of %s, %zu file lines (%zu shown lines):\n", what.utf8_str().data(), fileLines.size(),
                preview.size());
    std::printf("  one-pass buffer fill + layout: %.3f s\n", TimeFill([&](wxRichTextCtrl& view) {
        FillPreviewBuffer(view.GetBuffer(), preview);
        LayOutPreview(view);
    }));
    if (!baseline)
        return;
    wxString text;
    for (const PreviewLine& line : preview)
        text << line.text << wxT('\n');
    std::printf("  baseline, the toolkit's control, one plain SetValue (no colours): %.3f s\n",
                TimeFill([&](wxRichTextCtrl& view) { view.SetValue(text); }, true));
    if (!slowBaseline)
        return;
    std::printf("  baseline, the toolkit's control, line by line with colours, frozen, no undo: %.3f s\n",
                TimeFill([&](wxRichTextCtrl& view) {
        view.BeginSuppressUndo();
        view.Freeze();
        for (const PreviewLine& line : preview) {
            view.BeginStyle(PreviewAttributes(line.style));
            view.WriteText(line.text);
            view.EndStyle();
            view.Newline();
        }
        view.Thaw();
    }, true));
}

class BenchApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};

} // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::size_t lines = 10000;
    std::string file = "/usr/share/postgresql/15/postgresql.conf.sample";
    bool baseline = false;
    bool slowBaseline = false;
    bool merge = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--lines") && i + 1 < argc)
            lines = std::stoul(argv[++i]);
        else if (!std::strcmp(argv[i], "--file") && i + 1 < argc)
            file = argv[++i];
        else if (!std::strcmp(argv[i], "--baseline"))
            baseline = true;
        else if (!std::strcmp(argv[i], "--slow-baseline"))
            baseline = slowBaseline = true;
        else if (!std::strcmp(argv[i], "--skip-merge"))
            merge = false;
    }
    if (merge) {
        BenchMerge(1);
        BenchMerge(10);
    }
    int wxArgc = 1;
    if (!wxEntryStart(wxArgc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "no display: the preview figures need one (run under xvfb-run)\n");
        return 1;
    }
    {
        wxEventLoop loop;
        wxEventLoopActivator active(&loop);
        BenchPreview(wxT("a synthetic file"), SyntheticFile(lines), baseline, slowBaseline);
        std::vector<wxString> real;
        wxString reason;
        if (ReadConfFile(wxString::FromUTF8(file), real, reason) == ConfRead::read)
            BenchPreview(wxString::FromUTF8(file), real, false, false);
        else
            BenchPreview(wxT("a synthetic file"), SyntheticFile(800), false, false);
    }
    wxEntryCleanup();
    return 0;
}
