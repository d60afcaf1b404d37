#include "cli/terminal_road.h"

#include "cli/terminal.h"
#include "cli/unified_diff.h"
#include "conf/active_settings.h"
#include "conf/conf_file.h"
#include "conf/conf_text.h"
#include "conf/configuration_file.h"
#include "conf/tuned_save.h"
#include "installations/discovery.h"
#include "installations/file_path.h"
#include "installations/regular_file.h"
#include "installations/server.h"
#include "installations/server_program.h"
#include "tuning/system_info.h"
#include "tuning/tuning_exchange.h"

#include <wx/dir.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/regex.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const usageNames[] = {"development", "mixed", "dedicated"};

// Results go to standard output; questions, progress and messages to standard error, so that
// a script reading the diff or the JSON gets nothing else.
void Say(const wxString& text)
{
    std::cerr << text.utf8_string() << std::endl;
}

void Print(const wxString& text)
{
    std::cout << text.utf8_string() << '\n';
}

wxString Json(const wxString& text)
{
    wxString out = wxT("\"");
    for (const wxUniChar c : text) {
        if (c == '"' || c == '\\')
            out << wxT('\\') << c;
        else if (c == '\n')
            out << wxT("\\n");
        else if (c.GetValue() < 0x20)
            out << wxString::Format(wxT("\\u%04x"), static_cast<unsigned>(c.GetValue()));
        else
            out << c;
    }
    return out + wxT("\"");
}

wxString JsonList(const std::vector<wxString>& items)
{
    wxString out;
    for (const wxString& item : items)
        out << (out.empty() ? wxT("") : wxT(", ")) << item;
    return wxT("[") + out + wxT("]");
}

// A line read from standard input, without its end; false at its end.
bool ReadAnswer(const wxString& question, wxString& answer)
{
    std::cerr << question.utf8_string() << ' ' << std::flush;
    std::string line;
    if (!std::getline(std::cin, line))
        return false;
    answer = wxString::FromUTF8(line).Trim().Trim(false);
    return true;
}

// A number from 1 to `count`, asked until one comes; 0 at the end of the input. An empty
// answer takes `preset` when there is one.
int AskNumber(const wxString& question, int count, int preset = 0)
{
    wxString answer;
    while (ReadAnswer(question, answer)) {
        long number = 0;
        if (answer.empty() && preset > 0)
            return preset;
        if (answer.ToLong(&number) && number >= 1 && number <= count)
            return static_cast<int>(number);
    }
    return 0;
}

bool AskYes(const wxString& question)
{
    wxString answer;
    return ReadAnswer(question + wxT(" [y/N]"), answer) && (answer == wxT("y") || answer == wxT("Y") ||
                                                            answer.Lower() == wxT("yes"));
}

wxString NoInstallationText()
{
    return _("A PostgreSQL installation could not be found. Please select the postgresql.conf file and server "
             "version for tuning.") +
           wxT("\n") + _("Name it with --conf-path FILE --pg-version V.");
}

// A Debian cluster's configuration file: /etc/postgresql/<version>/<cluster>/postgresql.conf.
bool DebianCluster(const wxString& confPath, wxString& version, wxString& cluster)
{
    wxRegEx pattern(wxT("^/etc/postgresql/([^/]+)/([^/]+)/postgresql\\.conf$"));
    if (!pattern.Matches(confPath))
        return false;
    version = pattern.GetMatch(confPath, 1);
    cluster = pattern.GetMatch(confPath, 2);
    return true;
}

bool IsCluster(const FoundInstallation& item, const wxString& name)
{
    wxString version, cluster;
    if (DebianCluster(item.server->GetConfFilePath(), version, cluster) && version + wxT("/") + cluster == name)
        return true;
    const int slash = name.Find(wxT('/'));
    return slash != wxNOT_FOUND && item.server->displayName == wxString::Format(wxT("PostgreSQL %s (%s)"),
                                                                                  name.Left(slash), name.Mid(slash + 1));
}

wxString RestartCommand(const Server& server)
{
    wxString version, cluster;
    if (DebianCluster(server.GetConfFilePath(), version, cluster))
        return wxT("systemctl restart postgresql@") + version + wxT("-") + cluster;
    wxString folder = server.dataDirectory;
    if (folder.Length() > 1 && (folder.EndsWith(wxT("/")) || folder.EndsWith(wxT("\\"))))
        folder.RemoveLast();
    return wxT("pg_ctl restart -D \"") + folder + wxT("\"");
}

bool AllValuesStand(const Server& server, const std::vector<wxString>& lines)
{
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (!server.values[i].empty() &&
            !LastActiveValue(lines, wxString::FromAscii(tuningParameterNames[i])).IsSameAs(server.values[i], false))
            return false;
    for (const ExtensionSetting& setting : server.extensionSettings)
        if (!LastActiveValue(lines, setting.name).IsSameAs(setting.value, false))
            return false;
    return true;
}

class TerminalRoad
{
public:
    explicit TerminalRoad(const CliOptions& options)
        : options(options)
    {
    }

    int Run();

private:
    int List();
    int Select();
    int Restore();
    int Tune();
    void ShowDiff(const std::vector<wxString>& oldLines, const std::vector<wxString>& newLines);
    void PrintJson(bool changes, bool written);
    int Confirm(const wxString& question);
    void TakeFreeBackupName();

    const CliOptions& options;
    std::vector<FoundInstallation> installations;
    Server handChosen;
    Server* server = nullptr;
    wxString listText;
    TunedSave save;
    std::vector<wxString> notices;
};

int TerminalRoad::Run()
{
    if (options.list)
        return List();
    if (int code = Select())
        return code;
    wxString refusal;
    if (!server->CheckConfAccess(&refusal)) {
        if (!refusal.empty())
            Say(_("The configuration file cannot be used: ") + refusal);
        else if (server->port != 0)
            Say(_("The postgresql.conf for the selected server is not accessible.\nPlease try again by running the "
                  "Pelloran as an administrator"));
        else
            Say(_("The selected configuration file does not exist or not accessible.\nYou may not have rights to "
                  "write the file.\n\nNOTE: Please try to run the Pelloran as an administrator."));
        return exitNoPermission;
    }
    return options.restore ? Restore() : Tune();
}

int TerminalRoad::List()
{
    installations = DiscoverAllInstallations();
    if (options.json) {
        std::vector<wxString> items;
        int number = 0;
        for (const FoundInstallation& item : installations)
            items.push_back(wxString::Format(
                wxT("{\"number\": %d, \"name\": %s, \"version\": %s, \"port\": %d, \"confPath\": %s, "
                    "\"dataDirectory\": %s}"),
                ++number, Json(item.listText), Json(item.server->version), item.server->port,
                Json(item.server->GetConfFilePath()), Json(item.server->dataDirectory)));
        Print(JsonList(items));
    } else {
        int number = 0;
        for (const FoundInstallation& item : installations)
            Print(wxString::Format(wxT("%3d  "), ++number) + item.listText);
    }
    if (installations.empty()) {
        Say(NoInstallationText());
        return exitNoInput;
    }
    return exitDone;
}

int TerminalRoad::Select()
{
    if (!options.confPath.empty()) {
        const wxString path = wxFileName(options.confPath).GetAbsolutePath();
        if (!wxFileExists(path)) {
            Say(wxString::Format(_("File '%s' not found"), path));
            return exitNoInput;
        }
        const wxString version = options.pgVersion.empty() ? FindConfFileServer(path).version : options.pgVersion;
        const bool tuned = std::any_of(std::begin(tunedServerVersions), std::end(tunedServerVersions),
                                       [&version](const char* known) { return version == known; });
        if (!tuned) {
            Say(version.empty() ? _("The server version of the file is not known: give it with --pg-version.")
                                : wxString::Format(_("Version %s cannot be tuned."), version));
            return exitUsage;
        }
        handChosen.SetVersion(version);
        handChosen.bitness = ConfFileBitness(path);
        handChosen.dataDirectory = wxFileName(path).GetPath() + wxT("/");
        handChosen.baseDirectory = path;
        server = &handChosen;
        listText = path;
        return exitDone;
    }
    installations = DiscoverAllInstallations();
    if (installations.empty()) {
        Say(NoInstallationText());
        return exitNoInput;
    }
    int chosen = 0;
    if (!options.cluster.empty()) {
        for (std::size_t i = 0; i < installations.size() && chosen == 0; ++i)
            if (IsCluster(installations[i], options.cluster))
                chosen = static_cast<int>(i) + 1;
        if (chosen == 0) {
            Say(wxString::Format(_("No installation is the cluster %s."), options.cluster));
            return exitNoInput;
        }
    } else if (options.installation > 0) {
        chosen = options.installation;
        if (chosen > static_cast<int>(installations.size())) {
            Say(wxString::Format(_("There is no installation %d: --list shows them."), chosen));
            return exitNoInput;
        }
    } else if (installations.size() == 1) {
        chosen = 1;
    } else if (InputIsTerminal()) {
        Say(_("To begin, please select the installation that you would like to tune from the list below."));
        for (std::size_t i = 0; i < installations.size(); ++i)
            Say(wxString::Format(wxT("%3d  "), static_cast<int>(i) + 1) + installations[i].listText);
        chosen = AskNumber(_("Installation:"), static_cast<int>(installations.size()));
        if (chosen == 0)
            return exitUsage;
    } else {
        Say(_("Several installations were found: name one with --cluster or --installation (--list shows them)."));
        return exitUsage;
    }
    server = installations[chosen - 1].server.get();
    listText = installations[chosen - 1].listText;
    return exitDone;
}

int TerminalRoad::Confirm(const wxString& question)
{
    if (options.yes)
        return exitDone;
    if (!InputIsTerminal()) {
        Say(_("Nothing was written: answer with --yes when there is no terminal."));
        return exitUsage;
    }
    return AskYes(question) ? exitDone : exitChangesOrNo;
}

int TerminalRoad::Tune()
{
    int usage = options.usage;
    if (usage < 0) {
        if (!InputIsTerminal()) {
            Say(_("Give the usage with --usage development|mixed|dedicated when there is no terminal."));
            return exitUsage;
        }
        Say(_("Please select the type of usage required for this machine."));
        Say(wxT("  1  ") + _("Development"));
        Say(wxT("  2  ") + _("Mixed"));
        Say(wxT("  3  ") + _("Dedicated"));
        usage = AskNumber(_("Usage:"), 3) - 1;
        if (usage < 0)
            return exitUsage;
    }
    if (options.memoryBytes) {
        const std::uint64_t bytes = *options.memoryBytes;
        SetTotalMemorySource([bytes](std::uint64_t& total) {
            total = bytes;
            return true;
        });
    }

    // What is detected, unless the command line plans for another machine.
    MachineFacts facts =
        DetectMachineFacts({DataDirectoryOf(server->GetConfFilePath(), server->dataDirectory), 0,
                            server->port != 0 ? server->baseDirectory : wxString()});
    facts.maxConnectionsNow = CurrentMaxConnections(server->GetConfFilePath(), server->dataDirectory);
    if (options.memoryBytes)
        facts.memoryLimitMb.reset(); // this machine's limit is not the planned one's
    if (options.cpus)
        facts.cpus = options.cpus;
    if (options.storage)
        facts.storage = options.storage;

    // The exchange prints its identifier on standard output, which here carries the diff
    // or the JSON: it is taken aside and shown on a line of its own with the progress.
    std::ostringstream identifier;
    std::streambuf* const results = std::cout.rdbuf(identifier.rdbuf());
    const bool exchanged = ExchangeWithService(
        *server, usage, facts,
        [this](wxString& host, wxString& port) {
            host = options.proxyHost;
            port = options.proxyPort;
        },
        [this](int step, const wxString& text) {
            if (!options.quiet)
                Say(wxString::Format(wxT("[%d/6] "), step) + text);
        });
    std::cout.rdbuf(results);
    if (!options.quiet && !identifier.str().empty())
        Say(_("Exchange identifier: ") + wxString::FromUTF8(identifier.str()));
    if (!options.quiet)
        std::cerr << std::endl;
    if (!exchanged)
        return exitUnavailable;

    ServerCheckOutcome outcome;
    wxString error;
    if (!save.CheckWithServer(*server, outcome, error)) {
        Say(error);
        return exitConfigRefused;
    }
    if (!outcome.dropped.empty()) {
        wxString names;
        for (const wxString& name : outcome.dropped)
            names += (names.empty() ? wxString() : wxString(wxT(", "))) + name;
        Say(wxString::Format(_("The server refused the values of %s; they have been left out of the saved file."),
                             names));
    }

    const wxString confPath = server->GetConfFilePath();
    std::vector<wxString> oldLines;
    if (ReadConfFile(confPath, oldLines, error) == ConfRead::failed) {
        Say(_("The configuration file could not be read: ") + confPath + wxT("\n") + error);
        return exitCannotWrite;
    }
    MergedLines merged;
    if (!save.MergeFromSource(*server, nullptr, merged, error)) {
        Say(error);
        return exitCannotWrite;
    }
    const wxString stamp = NoteTimeStamp(wxDateTime::Now());
    std::vector<wxString> newLines;
    while (std::unique_ptr<MergedLine> record = merged.PopFront())
        AppendAnnotatedLines(*record, stamp, newLines);
    // An already tuned file merges into new note lines: only the values tell a change.
    const bool changes = !AllValuesStand(*server, oldLines);
    notices = SaveNotices(*server);

    if (!options.json) {
        for (const wxString& notice : notices)
            Say(notice);
        if (changes)
            ShowDiff(oldLines, newLines);
    }
    if (!changes)
        Say(wxString::Format(_("Nothing to change: every value of the tuning service already stands in %s."),
                             confPath));
    if (options.dryRun || !changes) {
        if (options.json)
            PrintJson(changes, false);
        return options.exitCode && changes ? exitChangesOrNo : exitDone;
    }

    const wxString target = options.outPath.empty() ? confPath : options.outPath;
    if (int code = Confirm(wxString::Format(_("Write %s?"), wxFileName(target).GetFullName())))
        return code;
    if (!options.outPath.empty()) {
        std::string bytes;
        for (const wxString& line : newLines)
            AppendConfLine(bytes, line);
        const bool written = wxFileExists(target) ? ReplaceFileContent(target, bytes, nullptr, error)
                                                  : CreateFileContent(target, bytes, nullptr, error);
        if (!written) {
            Say(_("The configuration file could not be written: ") + target + wxT("\n") + error);
            return exitCannotWrite;
        }
        if (options.json)
            PrintJson(changes, true);
        Say(_("Written: ") + target);
        return exitDone;
    }
    TakeFreeBackupName();
    if (!save.WriteBackup(*server, error) || !save.WriteTunedFile(*server, error)) {
        Say(error);
        return exitCannotWrite;
    }
    if (options.json)
        PrintJson(changes, true);
    Say(_("The original file has been kept as ") + save.BackupPathOf(*server));
    Say(_("Restart the server for the new values to take effect: ") + RestartCommand(*server));
    return exitDone;
}

void TerminalRoad::TakeFreeBackupName()
{
    // Backups are named by the second and never written over: one made this second already
    // (by a save just before a restore) keeps its bytes, and this one takes the next second's
    // name. A few tries only; a name still taken then fails the backup, which changes nothing.
    for (int tries = 0; tries < 3 && wxFileExists(save.BackupPathOf(*server)); ++tries) {
        wxMilliSleep(1000 - wxDateTime::UNow().GetMillisecond());
        save = TunedSave();
    }
}

void TerminalRoad::ShowDiff(const std::vector<wxString>& oldLines, const std::vector<wxString>& newLines)
{
    const wxString path = server->GetConfFilePath();
    bool colour = options.color == ColorChoice::always;
    if (options.color == ColorChoice::automatic) {
        const char* noColor = std::getenv("NO_COLOR");
        colour = OutputIsTerminal() && (noColor == nullptr || noColor[0] == '\0');
    }
    colour = colour && EnableTerminalColours();
    for (const wxString& line : UnifiedDiff(oldLines, newLines, path, path + _(" (tuned)"))) {
        const wxChar first = line.empty() ? wxT(' ') : wxChar(line[0]);
        const char* code = nullptr;
        if (line.StartsWith(wxT("---")) || line.StartsWith(wxT("+++")))
            code = "\033[1m";
        else if (first == '@')
            code = "\033[36m";
        else if (first == '-')
            code = "\033[31m";
        else if (first == '+')
            code = line.StartsWith(wxT("+#")) ? "\033[33m" : "\033[32m"; // notes apart from settings
        if (colour && code)
            std::cout << code << line.utf8_string() << "\033[0m\n";
        else
            Print(line);
    }
    std::cout << std::flush;
}

void TerminalRoad::PrintJson(bool changes, bool written)
{
    std::vector<wxString> values, dropped, advice, noticeItems;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (!server->values[i].empty())
            values.push_back(wxString::Format(wxT("{\"name\": %s, \"value\": %s, \"reason\": %s, \"restart\": false}"),
                                              Json(tuningParameterNames[i]), Json(server->values[i]),
                                              Json(server->reasons[i])));
    for (const ExtensionSetting& setting : server->extensionSettings)
        values.push_back(wxString::Format(wxT("{\"name\": %s, \"value\": %s, \"reason\": %s, \"restart\": %s}"),
                                          Json(setting.name), Json(setting.value), Json(setting.reason),
                                          setting.restart ? wxT("true") : wxT("false")));
    for (const ExtensionNotice& item : server->dropped)
        dropped.push_back(wxString::Format(wxT("{\"name\": %s, \"reason\": %s}"), Json(item.name), Json(item.text)));
    for (const ExtensionNotice& item : server->advice)
        advice.push_back(wxString::Format(wxT("{\"name\": %s, \"text\": %s}"), Json(item.name), Json(item.text)));
    for (const wxString& notice : notices)
        noticeItems.push_back(Json(notice));
    const bool saved = written && options.outPath.empty();
    Print(wxT("{\"installation\": ") + Json(listText) + wxT(", \"confPath\": ") + Json(server->GetConfFilePath()) +
          wxT(",\n \"values\": ") + JsonList(values) + wxT(",\n \"dropped\": ") + JsonList(dropped) +
          wxT(",\n \"advice\": ") + JsonList(advice) + wxT(",\n \"notices\": ") + JsonList(noticeItems) +
          wxT(",\n \"changes\": ") + (changes ? wxT("true") : wxT("false")) + wxT(", \"written\": ") +
          (written ? Json(options.outPath.empty() ? server->GetConfFilePath() : options.outPath) : wxT("null")) +
          wxT(", \"backup\": ") + (saved ? Json(save.BackupPathOf(*server)) : wxT("null")) +
          wxT(", \"restart\": ") + (saved ? Json(RestartCommand(*server)) : wxT("null")) + wxT("}"));
}

int TerminalRoad::Restore()
{
    const wxString backupPath = save.BackupPathOf(*server);
    const wxString folder = wxFileName(backupPath).GetPath();
    std::vector<wxString> backups;
    wxDir dir(folder);
    wxString name;
    for (bool more = dir.IsOpened() && dir.GetFirst(&name, wxT("postgresql.conf.*"), wxDIR_FILES); more;
         more = dir.GetNext(&name)) {
        const wxString stamp = name.Mid(16);
        if (stamp.length() == 14 && std::all_of(stamp.begin(), stamp.end(), [](wxUniChar c) { return wxIsdigit(c); }))
            backups.push_back(name);
    }
    std::sort(backups.rbegin(), backups.rend()); // newest first: the stamps sort as dates
    if (backups.empty()) {
        Say(wxString::Format(_("No backup of %s was found in %s."), server->GetConfFilePath(), folder));
        return exitNoInput;
    }
    int chosen = 1;
    if (!options.restoreStamp.empty()) {
        auto found = std::find(backups.begin(), backups.end(), wxT("postgresql.conf.") + options.restoreStamp);
        if (found == backups.end()) {
            Say(wxString::Format(_("There is no backup postgresql.conf.%s in %s."), options.restoreStamp, folder));
            return exitNoInput;
        }
        chosen = static_cast<int>(found - backups.begin()) + 1;
    } else {
        for (std::size_t i = 0; i < backups.size(); ++i)
            Say(wxString::Format(wxT("%3d  "), static_cast<int>(i) + 1) + backups[i]);
        if (!options.yes) {
            if (!InputIsTerminal()) {
                Say(_("Name the backup to put back (--restore STAMP), or take the newest with --yes."));
                return exitUsage;
            }
            chosen = AskNumber(_("Backup to put back [1]:"), static_cast<int>(backups.size()), 1);
            if (chosen == 0)
                return exitUsage;
        }
    }
    const wxString source = JoinPath(folder, backups[chosen - 1]);
    if (int code = Confirm(wxString::Format(_("Put %s back as postgresql.conf?"), backups[chosen - 1])))
        return code;
    std::string bytes;
    wxString error;
    if (ReadRegularFile(source, configurationFileLimit, bytes, error) != FileRead::read) {
        Say(_("The configuration file could not be read: ") + source + wxT("\n") + error);
        return exitCannotWrite;
    }
    // The file being replaced is kept too, so that a restore can itself be undone.
    TakeFreeBackupName();
    if (!save.WriteBackup(*server, error)) {
        Say(error);
        return exitCannotWrite;
    }
    const wxString confPath = server->GetConfFilePath();
    if (!ReplaceFileContent(confPath, bytes, GiveHeldRights(*server), error)) {
        Say(_("The configuration file could not be written: ") + confPath + wxT("\n") + error +
            _("\nIt has been left as it was."));
        return exitCannotWrite;
    }
    Say(_("The original file has been kept as ") + save.BackupPathOf(*server));
    Say(_("Restart the server for the new values to take effect: ") + RestartCommand(*server));
    return exitDone;
}

} // namespace

int RunTerminalRoad(const CliOptions& options)
{
    return TerminalRoad(options).Run();
}
