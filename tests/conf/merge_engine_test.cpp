// The merge engine on text: rewritten, switched-on, emptied and appended lines, and the
// notes they are written with; files the merge refuses to read.
#include "conf/configuration_file.h"
#include "conf/merge_engine.h"
#include "conf/preview.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <wx/intl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const wxString T = wxT("2026/01/02 03:04:05");
const wxDateTime blockTime(2, wxDateTime::Jan, 2026, 3, 4, 5);

std::vector<wxString> Lines(std::initializer_list<const char*> texts)
{
    std::vector<wxString> lines;
    for (const char* text : texts)
        lines.emplace_back(wxString::FromUTF8(text));
    return lines;
}

// The merge written out through the annotation rule, one string per output line.
std::vector<std::string> Output(Server& server, const std::vector<wxString>* lines, std::vector<wxString>* status = nullptr)
{
    MergedLines merged = MergeConfigurationLines(server, lines, blockTime, [&](const wxString& text) {
        if (status)
            status->push_back(text);
    });
    std::vector<wxString> out;
    while (auto record = merged.PopFront())
        AppendAnnotatedLines(*record, T, out);
    std::vector<std::string> result;
    for (const wxString& line : out)
        result.push_back(line.utf8_string());
    return result;
}

void SetValue(Server& server, const char* name, const char* value)
{
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        if (wxString(tuningParameterNames[i]) == name)
            server.values[i] = value;
    }
}

// A server of the given version with a value for every parameter ("v<index>").
void FillAll(Server& server, const char* version)
{
    server.SetVersion(version);
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        server.values[i] = wxString::Format(wxT("v%zu"), i);
}

const std::string added = "# NOTE: This parameter is been added by Norvane's Pelloran on 2026/01/02 03:04:05";
const std::string modified = "# NOTE: This has been modified by Norvane's Pelloran on 2026/01/02 03:04:05";
const std::string blockNote = "# NOTE: These parameters are added by Norvane's Pelloran on 2026/01/02 03:04:05";

std::string Original(const char* name, const char* value)
{
    return std::string("#       Original Value for \"") + name + "\" was \"" + value + "\"";
}

} // namespace

TEST(MergeEngineTest, ExampleTableLineForLine)
{
    Server server;
    server.SetVersion("8.3");
    SetValue(server, "max_connections", "200");
    SetValue(server, "work_mem", "4MB");
    SetValue(server, "random_page_cost", "4.0");
    const auto lines = Lines({
        "#  - Memory -",
        "max_connections = 100       # note",
        "#work_mem = 1MB   # note",
        "random_page_cost = 4.0",
        "max_connections = 150",
    });
    std::vector<wxString> status;
    // N = 4, and no other parameter has a value: the first ask answers empty, no block.
    const std::vector<std::string> expected = {
        "#  - Memory -",
        modified,
        Original("max_connections", "100"),
        "max_connections = 200       # note",
        "#work_mem = 1MB   # note",
        added,
        "work_mem = 4MB   # note",
        "random_page_cost = 4.0",
        "",
    };
    EXPECT_EQ(Output(server, &lines, &status), expected);
    EXPECT_EQ(parameterMergeState[0], Settled);
    EXPECT_EQ(parameterMergeState[2], CommentedMatch);
    const std::vector<wxString> expectedStatus = {
        wxT("Starting updating configuration file ..."), wxT("Updating parameter max_connections ..."),
        wxT("Updating parameter work_mem ..."), wxT("Updating parameter max_connections ..."),
        wxT("Closing configuration file ..."),
    };
    EXPECT_EQ(status, expectedStatus);
}

// One line each, hostile ones included: quoted values, and values the server's version
// has no parameter for.
TEST(MergeEngineTest, SingleLineRewrites)
{
    struct Case {
        const char* description;
        const char* line;
        const char* name;
        const char* value;
        std::vector<std::string> expected;
        const char* version = "8.4";
    };
    const Case cases[] = {
        {"commented setting with tabs and comment is switched on, keeping them", "#shared_buffers = 32MB\t\t# min 128kB",
         "shared_buffers", "256MB", {"#shared_buffers = 32MB\t\t# min 128kB", added, "shared_buffers = 256MB\t\t# min 128kB"}},
        {"indented active setting without blanks around = is rewritten from column one",
         "   max_connections=100   # comment", "max_connections", "200",
         {modified, Original("max_connections", "100"), "max_connections = 200   # comment"}},
        {"same value: character for character, no note", "  random_page_cost = 4.0  # x", "random_page_cost", "4.0",
         {"  random_page_cost = 4.0  # x"}},
        {"commented setting with the same value is still switched on", "# random_page_cost = 4.0", "random_page_cost",
         "4.0", {"# random_page_cost = 4.0", added, "random_page_cost = 4.0"}},
        {"value directly followed by a comment", "work_mem = 1MB#c", "work_mem", "4MB",
         {modified, Original("work_mem", "1MB"), "work_mem = 4MB#c"}},
        {"autovacuum_naptime is not taken for autovacuum", "autovacuum_naptime = 1min", "autovacuum_naptime", "5min",
         {modified, Original("autovacuum_naptime", "1min"), "autovacuum_naptime = 5min"}},
        {"autovacuum itself", "autovacuum = off", "autovacuum", "on",
         {modified, Original("autovacuum", "off"), "autovacuum = on"}},
        {"values differing in letter case count as a change", "autovacuum = On", "autovacuum", "on",
         {modified, Original("autovacuum", "On"), "autovacuum = on"}},
        {"other letter case matches nothing", "Max_Connections = 100", "max_connections", "200",
         {"Max_Connections = 100"}},
        {"no = matches nothing", "max_connections 100", "max_connections", "200", {"max_connections 100"}},
        {"commented twice matches nothing", "##max_connections = 100", "max_connections", "200",
         {"##max_connections = 100"}},
        {"a name followed by words matches nothing", "# max_connections is the number of clients", "max_connections",
         "200", {"# max_connections is the number of clients"}},
        {"no tuned value: as read, no note", "work_mem = 1MB", "shared_buffers", "", {"work_mem = 1MB"}},
        {"a no-break space is not white space", "\xC2\xA0work_mem = 1MB", "work_mem", "4MB", {"\xC2\xA0work_mem = 1MB"}},
        {"a quoted value with a space is replaced whole", "shared_buffers = '128 MB'\t\t# min 128kB", "shared_buffers",
         "2GB", {modified, Original("shared_buffers", "'128 MB'"), "shared_buffers = 2GB\t\t# min 128kB"}},
        {"a commented quoted value is switched on whole", "#shared_buffers='128 MB'#c", "shared_buffers", "2GB",
         {"#shared_buffers='128 MB'#c", added, "shared_buffers = 2GB#c"}},
        {"doubled quote and # inside the quotes", "autovacuum = 'o''n #x' # real", "autovacuum", "on",
         {modified, Original("autovacuum", "'o''n #x'"), "autovacuum = on # real"}},
        {"backslash-escaped quote inside the quotes", "autovacuum = 'o\\'n #x' # real", "autovacuum", "on",
         {modified, Original("autovacuum", "'o\\'n #x'"), "autovacuum = on # real"}},
        {"an escaped backslash does not escape the closing quote", "autovacuum = 'on\\\\' # real", "autovacuum", "on",
         {modified, Original("autovacuum", "'on\\\\'"), "autovacuum = on # real"}},
        {"an empty quoted value", "work_mem = ''  # c", "work_mem", "4MB",
         {modified, Original("work_mem", "''"), "work_mem = 4MB  # c"}},
        {"an unterminated quote takes the rest of the line", "shared_buffers = '128 MB  # min 128kB", "shared_buffers",
         "2GB", {modified, Original("shared_buffers", "'128 MB  # min 128kB"), "shared_buffers = 2GB"}},
        {"a commented unterminated quote is switched on as a readable line", "#shared_buffers = 'it''s\\", "shared_buffers",
         "2GB", {"#shared_buffers = 'it''s\\", added, "shared_buffers = 2GB"}},
        {"checkpoint_segments is left alone from 9.5 on", "checkpoint_segments = 3", "checkpoint_segments", "16",
         {"checkpoint_segments = 3"}, "9.5"},
        {"a commented checkpoint_segments is not switched on in 15.18", "#checkpoint_segments = 3", "checkpoint_segments",
         "16", {"#checkpoint_segments = 3"}, "15.18"},
        {"checkpoint_segments in 9.4", "#checkpoint_segments = 3", "checkpoint_segments", "16",
         {"#checkpoint_segments = 3", added, "checkpoint_segments = 16"}, "9.4"},
        {"max_fsm_pages is left alone from 8.4 on", "#max_fsm_pages = 204800", "max_fsm_pages", "409600",
         {"#max_fsm_pages = 204800"}, "8.4"},
        {"max_fsm_relations in 8.3", "max_fsm_relations = 1000", "max_fsm_relations", "2000",
         {modified, Original("max_fsm_relations", "1000"), "max_fsm_relations = 2000"}, "8.3"},
        {"stats_row_level is left alone from 8.3 on", "stats_row_level = off", "stats_row_level", "on",
         {"stats_row_level = off"}, "8.3"},
        {"stats_row_level in 8.2", "stats_row_level = off", "stats_row_level", "on",
         {modified, Original("stats_row_level", "off"), "stats_row_level = on"}, "8.2"},
        {"an unknown version gets no parameter that newer servers lack", "#max_fsm_relations = 1000",
         "max_fsm_relations", "2000", {"#max_fsm_relations = 1000"}, ""},
    };
    for (const Case& c : cases) {
        Server server;
        server.SetVersion(c.version);
        SetValue(server, c.name, c.value);
        // Every other parameter is named without a value so that no block follows.
        auto lines = Lines({c.line});
        std::vector<std::string> out = Output(server, &lines);
        std::vector<std::string> withoutBlock(out.begin(), out.begin() + std::min(out.size(), c.expected.size()));
        EXPECT_EQ(withoutBlock, c.expected) << c.description;
        if (out.size() > c.expected.size()) {
            EXPECT_EQ(out[c.expected.size()], blockNote) << c.description << ": only a block may follow";
        }
    }
}

TEST(MergeEngineTest, RepeatsAreEmptiedAndAnEarlierCommentedLineLosesItsNote)
{
    Server server;
    server.SetVersion("8.4");
    SetValue(server, "work_mem", "4MB");
    const auto lines = Lines({
        "#work_mem = 1MB",
        "work_mem = 2MB",
        "work_mem = 3MB",
        "#work_mem = 5MB",
    });
    const std::vector<std::string> expected = {
        "work_mem = 4MB", modified, Original("work_mem", "2MB"), "work_mem = 4MB", "", "",
    };
    EXPECT_EQ(Output(server, &lines), expected);
}

TEST(MergeEngineTest, EarlierNotesAndBlocksAreMergedLikeAnyLine)
{
    Server server;
    server.SetVersion("8.4");
    SetValue(server, "work_mem", "8MB");
    const auto lines = Lines({
        "# NOTE: This has been modified by Norvane's Pelloran on 2025/01/01 00:00:00",
        "#       Original Value for \"work_mem\" was \"1MB\"",
        "# NOTE: These parameters are added by Norvane's Pelloran on 2025/01/01 00:00:00",
        "# BEGIN",
        "work_mem = 4MB",
        "# END",
    });
    const std::vector<std::string> expected = {
        "# NOTE: This has been modified by Norvane's Pelloran on 2025/01/01 00:00:00",
        "#       Original Value for \"work_mem\" was \"1MB\"",
        "# NOTE: These parameters are added by Norvane's Pelloran on 2025/01/01 00:00:00",
        "# BEGIN",
        modified,
        Original("work_mem", "4MB"),
        "work_mem = 8MB",
        "# END",
    };
    EXPECT_EQ(Output(server, &lines), expected);
}

TEST(MergeEngineTest, AppendedBlock)
{
    struct Case {
        const char* description;
        const char* version;
        std::vector<std::size_t> namedInFile; // indexes with an active line in the file
        std::vector<std::size_t> withoutValue;
        bool fileMissing;
        std::vector<std::string> expectedTail; // the output after the file's lines
    };
    std::vector<std::size_t> allBut4_5_16, allBut2_16, first16;
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        if (i != 4 && i != 5 && i != 16)
            allBut4_5_16.push_back(i);
        if (i != 2 && i != 16)
            allBut2_16.push_back(i);
        if (i != 16)
            first16.push_back(i);
    }
    std::vector<std::string> fullBlock84 = {blockNote, "# BEGIN"};
    for (std::size_t i = 0; i < 16; ++i)
        if (i != 4 && i != 5)
            fullBlock84.push_back(wxString(tuningParameterNames[i]).utf8_string() + " = v" + std::to_string(i));
    fullBlock84.push_back("# END");
    std::vector<std::string> newerBlock = fullBlock84; // without checkpoint_segments
    newerBlock.erase(std::find(newerBlock.begin(), newerBlock.end(), "checkpoint_segments = v7"));
    std::vector<std::string> noValueBlock = fullBlock84;
    noValueBlock.erase(noValueBlock.begin() + 5); // maintenance_work_mem has no value

    const Case cases[] = {
        {"8.4 file naming all but the version-dependent ones: max_fsm_pages is handed out first, no block", "8.4",
         allBut4_5_16, {}, false, {}},
        {"8.3 file lacking work_mem: N = 15, the block holds work_mem alone", "8.3", allBut2_16, {}, false,
         {blockNote, "# BEGIN", "work_mem = v2", "# END"}},
        {"exactly 16 matched lines: no block although stats_row_level is missing", "8.2", first16, {}, false, {}},
        {"missing file: parameters 0 to 15 after the version rules", "8.4", {}, {}, true, fullBlock84},
        {"empty file: the same block", "8.4", {}, {}, false, fullBlock84},
        {"15.18: neither checkpoint_segments nor the free-space-map pair", "15.18", {}, {}, true, newerBlock},
        {"unknown version: only what every version has", "", {}, {}, true, newerBlock},
        {"a parameter without value is never appended", "8.4", {}, {3}, false, noValueBlock},
        {"the first ask answering empty means no block, though others are missing", "8.4", {}, {0}, false, {}},
        {"before 8.3 stats_row_level stays out only because the bound is 16", "8.2", {}, {}, true,
         [] {
             std::vector<std::string> block = {blockNote, "# BEGIN"};
             for (std::size_t i = 0; i < 16; ++i)
                 block.push_back(wxString(tuningParameterNames[i]).utf8_string() + " = v" + std::to_string(i));
             block.push_back("# END");
             return block;
         }()},
    };
    for (const Case& c : cases) {
        Server server;
        FillAll(server, c.version);
        for (std::size_t i : c.withoutValue)
            server.values[i].clear();
        std::vector<wxString> lines;
        for (std::size_t i : c.namedInFile)
            lines.push_back(wxString(tuningParameterNames[i]) + wxT(" = v") + wxString::Format(wxT("%zu"), i));
        std::vector<std::string> out = Output(server, c.fileMissing ? nullptr : &lines);
        ASSERT_GE(out.size(), lines.size()) << c.description;
        std::vector<std::string> tail(out.begin() + lines.size(), out.end());
        EXPECT_EQ(tail, c.expectedTail) << c.description;
    }
}

TEST(MergeEngineTest, AnnotationFollowsTheFinalStateAndMarksOnlyChanges)
{
    Server server;
    server.SetVersion("8.4");
    SetValue(server, "work_mem", "4MB");
    SetValue(server, "shared_buffers", "1GB");
    const auto lines = Lines({"#work_mem = 1MB", "work_mem = 2MB", "#shared_buffers = 32MB", "# plain"});
    MergedLines merged = MergeConfigurationLines(server, &lines, blockTime, nullptr);
    std::vector<bool> shown, notes;
    for (const MergedLine* record = merged.First(); record; record = record->next) {
        shown.push_back(IsShownAsChange(*record));
        notes.push_back(HasNoteLines(*record));
    }
    // Superseded commented line: changed, yet drawn and written as a plain line.
    EXPECT_EQ(shown, (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(notes, (std::vector<bool>{false, true, true, false}));
}

// What the merge refuses to read, at once and without reading it whole: a folder, a link
// (which might name a device or a file outside the installation), a sparse file far beyond
// any configuration file.
TEST(MergeEngineTest, FilesRefusedBeforeTheMerge)
{
    TempDir folder;
    namespace fs = std::filesystem;
    fs::create_directory(folder.file("folder"));
    WriteFileBytes(folder.file("real.conf"), "work_mem = 1MB\n");
    std::error_code linkError;
    fs::create_symlink(folder.file("real.conf"), folder.file("link.conf"), linkError);
    {
        std::ofstream(folder.file("sparse.conf"));
    }
    fs::resize_file(folder.file("sparse.conf"), std::uintmax_t(1) << 30);
    const struct {
        const char* name;
        const char* reason;
    } cases[] = {
        {"folder", "It is not a regular file."},
        {"link.conf", "It is a symbolic link, which is not followed."},
        {"sparse.conf", "It is larger than 4 MiB, more than any configuration file holds; it is not read."},
    };
    for (const auto& c : cases) {
        if (std::string(c.name) == "link.conf" && linkError) {
            std::printf("no symbolic link could be made here: %s\n", linkError.message().c_str());
            continue;
        }
        Server server;
        server.SetVersion("15");
        SetValue(server, "work_mem", "4MB");
        const wxString path = wxString::FromUTF8(folder.file(c.name));
        MergedLines merged;
        wxString error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(MergeConfigurationFile(server, path, blockTime, nullptr, merged, error)) << c.name;
        std::printf("%s refused in %.3f s\n", c.name,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        EXPECT_EQ(error, _("The configuration file could not be read: ") + path + wxT("\n") + wxString::FromUTF8(c.reason))
            << c.name;
        EXPECT_EQ(merged.First(), nullptr) << c.name;
    }
    EXPECT_EQ(ReadFileBytes(folder.file("real.conf")), "work_mem = 1MB\n");
}

// Settings beyond the 17 go through the same three cases, each with its reason; a refined
// one of the 17 carries its reason too, and the 17-only block stays as it was before them.
TEST(MergeEngineTest, SettingsBeyondTheSeventeenWithTheirReasons)
{
    const ExtensionSetting eic{wxT("effective_io_concurrency"), wxT("200"), wxT("the data directory is on SSD storage"), false};
    const ExtensionSetting workers{wxT("max_worker_processes"), wxT("16"), wxT("16 processors"), true};
    const std::string eicReason = "# Reason: the data directory is on SSD storage";
    const std::string workersReason = "# Reason: 16 processors (takes effect after a restart)";
    struct Case {
        const char* description;
        std::vector<const char*> lines;
        std::vector<ExtensionSetting> settings;
        std::vector<std::pair<const char*, const char*>> refined; // name, value; reason "refined"
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"an active line is rewritten in place with the notes and the reason",
         {"effective_io_concurrency = 1\t# 1-1000"}, {eic}, {},
         {modified, Original("effective_io_concurrency", "1"), eicReason, "effective_io_concurrency = 200\t# 1-1000"}},
        {"a commented line is switched on; a restart is said in the reason", {"#max_worker_processes = 8"}, {workers}, {},
         {"#max_worker_processes = 8", added, workersReason, "max_worker_processes = 16"}},
        {"a commented line taken over by a later active line is plain, the repeat emptied",
         {"#effective_io_concurrency = 1", "effective_io_concurrency = 2", "effective_io_concurrency = 3"}, {eic}, {},
         {"effective_io_concurrency = 200", modified, Original("effective_io_concurrency", "2"), eicReason,
          "effective_io_concurrency = 200", ""}},
        {"the same value stays as read, without notes", {" effective_io_concurrency = 200"}, {eic}, {},
         {" effective_io_concurrency = 200"}},
        {"a longer name is another setting", {"jit_above_cost = 100000"},
         {{wxT("jit"), wxT("off"), wxT("short queries"), false}}, {},
         {"jit_above_cost = 100000", blockNote, "# BEGIN", "# Reason: short queries", "jit = off", "# END"}},
        {"missing settings follow the 17's in the one block, each after its reason", {"# nothing"}, {eic, workers},
         {{"max_connections", "300"}, {"work_mem", "8MB"}},
         {"# nothing", blockNote, "# BEGIN", "# Reason: refined (takes effect after a restart)", "max_connections = 300",
          "# Reason: refined", "work_mem = 8MB", eicReason,
          "effective_io_concurrency = 200", workersReason, "max_worker_processes = 16", "# END"}},
        {"a refined one of the 17 rewritten in place; its restart is said", {"max_connections = 100"}, {},
         {{"max_connections", "300"}},
         {modified, Original("max_connections", "100"), "# Reason: refined (takes effect after a restart)",
          "max_connections = 300"}},
    };
    for (const Case& c : cases) {
        Server server;
        server.SetVersion("15");
        server.extensionSettings = c.settings;
        for (const auto& [name, value] : c.refined) {
            SetValue(server, name, value);
            for (std::size_t i = 0; i < tuningParameterCount; ++i)
                if (wxString(tuningParameterNames[i]) == name)
                    server.reasons[i] = wxT("refined");
        }
        std::vector<wxString> lines;
        for (const char* line : c.lines)
            lines.push_back(wxString::FromUTF8(line));
        EXPECT_EQ(Output(server, &lines), c.expected) << c.description;
    }

    // The reason is drawn as a note, the setting as a setting.
    Server server;
    server.SetVersion("15");
    server.extensionSettings = {eic};
    const auto lines = Lines({"effective_io_concurrency = 1"});
    MergedLines merged = MergeConfigurationLines(server, &lines, blockTime, nullptr);
    std::vector<PreviewLine> preview;
    AppendPreviewLines(*merged.First(), T, preview);
    ASSERT_EQ(preview.size(), 4u);
    EXPECT_EQ(preview[2].style, PreviewStyle::note);
    EXPECT_EQ(preview[3].style, PreviewStyle::setting);
}

// The settings beyond the 17 have a block bound of their own, and are appended also where
// the 17's block rules append nothing.
TEST(MergeEngineTest, ExtensionSettingsHaveTheirOwnBlockBound)
{
    Server server;
    FillAll(server, "8.2");
    for (int i = 0; i < extensionBlockBound + 1; ++i)
        server.extensionSettings.push_back({wxString::Format(wxT("x%d"), i), wxT("1"), wxT("r"), false});
    std::vector<wxString> lines; // 16 matched lines: the 17's part of the block is empty
    for (std::size_t i = 0; i < 16; ++i)
        lines.push_back(wxString(tuningParameterNames[i]) + wxT(" = v") + wxString::Format(wxT("%zu"), i));
    const std::vector<std::string> out = Output(server, &lines);
    const std::vector<std::string> tail(out.begin() + 16, out.end());
    ASSERT_EQ(tail.size(), 2u + 2u * extensionBlockBound + 1u);
    EXPECT_EQ(tail[0], blockNote);
    EXPECT_EQ(tail[2], "# Reason: r");
    EXPECT_EQ(tail[3], "x0 = 1");
    EXPECT_EQ(tail[tail.size() - 2], "x63 = 1");
    EXPECT_EQ(tail.back(), "# END");
}
