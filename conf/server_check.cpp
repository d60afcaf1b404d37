#include "conf/server_check.h"

#include "conf/conf_text.h"
#include "installations/server.h"

#include <wx/intl.h>

#include <algorithm>

namespace {

// The names whose lines the merge writes anew, each once.
std::vector<wxString> ChangedNames(const MergedLines& merged)
{
    std::vector<wxString> names;
    for (const MergedLine* record = merged.First(); record; record = record->next) {
        if (!IsShownAsChange(*record) || record->text.empty() || IsBlockMarker(record->text))
            continue;
        wxString name = record->parameterIndex >= 0 ? wxString(tuningParameterNames[record->parameterIndex])
                        : !record->extensionName.empty() ? record->extensionName
                                                          : record->text.BeforeFirst(wxT(' '));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

std::string CandidateBytes(const MergedLines& merged)
{
    std::string bytes;
    std::vector<wxString> lines;
    const wxString stamp = NoteTimeStamp(wxDateTime::Now());
    for (const MergedLine* record = merged.First(); record; record = record->next) {
        lines.clear();
        AppendAnnotatedLines(*record, stamp, lines);
        for (const wxString& line : lines)
            AppendConfLine(bytes, line);
    }
    return bytes;
}

} // namespace

std::vector<ServerRefusal> ReadServerRefusals(const std::string& output)
{
    std::vector<ServerRefusal> refusals;
    wxString all;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const std::string line = output.substr(start, end - start);
        start = end + 1;
        // The server's prefix (time, process) comes before the severity; its words after it.
        std::size_t at = std::string::npos;
        for (const char* severity : {"LOG:  ", "FATAL:  ", "ERROR:  ", "DETAIL:  ", "HINT:  "})
            if (const std::size_t found = line.find(severity); found != std::string::npos && found < at)
                at = found + std::char_traits<char>::length(severity);
        const wxString message = wxString::FromUTF8(at == std::string::npos ? line : line.substr(at));
        if (message.empty())
            continue;
        all += (all.empty() ? wxString() : wxString(wxT("\n"))) + message;
        const int named = message.Find(wxT("parameter \""));
        if (named == wxNOT_FOUND)
            continue;
        const wxString name = message.Mid(named + 11).BeforeFirst(wxT('"'));
        refusals.push_back({name, message});
    }
    if (refusals.empty())
        refusals.push_back({wxString(), all});
    return refusals;
}

bool JudgeByServer(Server& server, const wxString& confPath, const std::function<bool(MergedLines&)>& merge,
                   ServerCheckOutcome& outcome, wxString& error)
{
    outcome = ServerCheckOutcome();
    // Each round drops at least one setting, so it ends.
    for (;;) {
        MergedLines merged;
        if (!merge(merged))
            return false;
        const std::vector<wxString> names = ChangedNames(merged);
        if (names.empty()) {
            outcome.checked = true;
            return true;
        }
        const ServerVerdict verdict = AskServer(server, confPath, CandidateBytes(merged), names);
        if (!verdict.ran) {
            outcome.notice = _("The server did not check the new configuration file: ") + verdict.whyNotRun;
            return true;
        }
        if (verdict.refusals.empty()) {
            outcome.checked = true;
            return true;
        }
        wxString stop;
        for (const ServerRefusal& refusal : verdict.refusals) {
            auto setting = std::find_if(server.extensionSettings.begin(), server.extensionSettings.end(),
                                        [&](const ExtensionSetting& s) { return s.name == refusal.name; });
            if (setting == server.extensionSettings.end()) {
                stop += (stop.empty() ? wxString() : wxString(wxT("\n"))) + refusal.message;
                continue;
            }
            server.dropped.push_back({setting->name, refusal.message});
            outcome.dropped.push_back(setting->name);
            server.extensionSettings.erase(setting);
        }
        if (!stop.empty()) {
            error = _("The server refuses the new configuration file:\n") + stop +
                    _("\nThe configuration file has not been changed.");
            return false;
        }
    }
}
