#include "conf/merge_engine.h"

#include "conf/active_settings.h"
#include "protocol/extension_parameters.h"

#include <wx/intl.h>

#include <utility>

std::array<ParameterMergeState, tuningParameterCount> parameterMergeState{};

void ResetParameterMergeState()
{
    parameterMergeState.fill(Unseen);
}

namespace {

const wxString blockNotePrefix = wxT("# NOTE: These parameters are added by Norvane's Pelloran on ");
const wxString blockBegin = wxT("# BEGIN");
const wxString blockEnd = wxT("# END");

// The value to write for a parameter: none when the server's version does not have it,
// whatever the service answered, since the server would refuse to start.
const wxString& TunedValue(const Server& server, std::size_t index)
{
    static const wxString none;
    return ParameterExistsIn(index, server.versionNumber) ? server.values[index] : none;
}

// Where the setting of a line starts: after blanks and at most one "#" with its blanks.
struct SettingStart
{
    std::size_t at = 0;
    bool wasCommented = false;
};

SettingStart FindSettingStart(const wxString& line)
{
    SettingStart start;
    start.at = SkipSettingBlanks(line, 0);
    if (start.at < line.length() && line[start.at] == wxT('#')) {
        start.wasCommented = true;
        start.at = SkipSettingBlanks(line, start.at + 1);
    }
    return start;
}

// Where the value starts when the text at `at` sets `name` ("name = value"); npos otherwise.
// A longer name that starts with this one (autovacuum_naptime after autovacuum) has no "="
// after it.
std::size_t ValueStartAfterName(const wxString& line, std::size_t at, const wxString& name)
{
    if (line.compare(at, name.length(), name) != 0)
        return wxString::npos;
    const std::size_t afterName = SkipSettingBlanks(line, at + name.length());
    if (afterName >= line.length() || line[afterName] != wxT('='))
        return wxString::npos;
    return SkipSettingBlanks(line, afterName + 1);
}

// The state steps and the rewriting of a matched line, the same for the 17 and the rest.
void RewriteMatchedLine(const wxString& line, std::size_t valueStart, const wxString& name, const wxString& tuned,
                        ParameterMergeState& state, LineRewrite& result)
{
    if (state == Settled) {
        result.kind = LineRewriteKind::repeat;
        return;
    }
    if (tuned.empty()) {
        state = Settled;
        result.kind = LineRewriteKind::noTunedValue;
        return;
    }
    state = result.wasCommented ? CommentedMatch : Settled;
    const std::size_t valueEnd = SettingValueEnd(line, valueStart);
    result.previousValue = line.substr(valueStart, valueEnd - valueStart);
    result.newValue = tuned;
    result.replacement = name;
    result.replacement << wxT(" = ") << tuned << line.substr(valueEnd);
    result.kind = LineRewriteKind::rewritten;
}

// The merge of the settings beyond the 17: a state for each, as the 17 have, and the
// commented-out lines switched on for each, which a later active line takes over.
class ExtensionMerge
{
public:
    explicit ExtensionMerge(const std::vector<ExtensionSetting>& settings)
        : settings(settings), states(settings.size(), Unseen), switchedOn(settings.size())
    {
    }

    // A line of no parameter of the 17; parameterIndex is then the index of the setting.
    LineRewrite RewriteLine(const wxString& line)
    {
        LineRewrite result;
        const SettingStart start = FindSettingStart(line);
        result.wasCommented = start.wasCommented;
        for (std::size_t i = 0; i < settings.size(); ++i) {
            const std::size_t valueStart = ValueStartAfterName(line, start.at, settings[i].name);
            if (valueStart == wxString::npos)
                continue;
            result.parameterIndex = static_cast<int>(i);
            RewriteMatchedLine(line, valueStart, settings[i].name, settings[i].value, states[i], result);
            break;
        }
        return result;
    }

    void NoteSwitchedOn(std::size_t index, MergedLine* record) { switchedOn[index].push_back(record); }

    // Marks the switched-on lines of every setting that an active line settled later.
    void MarkSuperseded()
    {
        for (std::size_t i = 0; i < settings.size(); ++i)
            if (states[i] != CommentedMatch)
                for (MergedLine* record : switchedOn[i])
                    record->superseded = true;
    }

    // The settings no line named, in answer order, marked as handed out.
    std::vector<std::size_t> TakeMissing()
    {
        std::vector<std::size_t> missing;
        for (std::size_t i = 0; i < settings.size(); ++i) {
            if (states[i] != Unseen)
                continue;
            states[i] = Settled;
            if (!settings[i].value.empty())
                missing.push_back(i);
        }
        return missing;
    }

private:
    const std::vector<ExtensionSetting>& settings;
    std::vector<ParameterMergeState> states;
    std::vector<std::vector<MergedLine*>> switchedOn;
};

// The reason note of a slot of the 17 the extension refined; empty when it did not.
wxString RefinedReasonNote(const Server& server, std::size_t index)
{
    if (server.reasons[index].empty())
        return wxString();
    const ExtensionParameter* row = FindExtensionParameter(tuningParameterNames[index]);
    return ReasonNote(server.reasons[index], row && row->restart);
}

std::size_t ParameterIndexOf(const wxString& name)
{
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (name == tuningParameterNames[i])
            return i;
    return tuningParameterCount;
}

// The two notes of a line that held a value: the line switched on, or the value replaced.
void AppendChangeNotes(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out)
{
    if (record.wasCommented) {
        out.push_back(record.sourceText);
        out.push_back(_("# NOTE: This parameter is been added by Norvane's Pelloran on ") + stamp);
    } else {
        out.push_back(_("# NOTE: This has been modified by Norvane's Pelloran on ") + stamp);
        wxString original = _("#       Original Value for ");
        original << wxT('"')
                 << (record.parameterIndex >= 0 ? wxString(tuningParameterNames[record.parameterIndex])
                                                : record.extensionName)
                 << wxT('"') << _(" was ") << wxT('"')
                 << record.previousValue << wxT('"');
        out.push_back(original);
    }
}

} // namespace

wxString ReasonNote(const wxString& reason, bool restart)
{
    wxString note = _("# Reason: ") + reason;
    if (restart)
        note += _(" (takes effect after a restart)");
    return note;
}

LineRewrite Server::RewriteLine(const wxString& line)
{
    LineRewrite result;
    const SettingStart start = FindSettingStart(line);
    result.wasCommented = start.wasCommented;
    std::size_t valueStart = wxString::npos;
    for (std::size_t i = 0; i < tuningParameterCount && valueStart == wxString::npos; ++i) {
        valueStart = ValueStartAfterName(line, start.at, tuningParameterNames[i]);
        if (valueStart != wxString::npos)
            result.parameterIndex = static_cast<int>(i);
    }
    if (result.parameterIndex < 0)
        return result;
    RewriteMatchedLine(line, valueStart, tuningParameterNames[result.parameterIndex],
                       TunedValue(*this, result.parameterIndex), parameterMergeState[result.parameterIndex], result);
    return result;
}

wxString Server::NextMissingSetting()
{
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        if (parameterMergeState[i] != Unseen)
            continue;
        parameterMergeState[i] = Settled;
        const wxString& tuned = TunedValue(*this, i);
        if (tuned.empty())
            return wxString();
        return wxString(tuningParameterNames[i]) + wxT(" = ") + tuned;
    }
    return wxString();
}

MergedLines::~MergedLines()
{
    Clear();
}

MergedLines::MergedLines(MergedLines&& other) noexcept
    : head(std::exchange(other.head, nullptr)), tail(std::exchange(other.tail, nullptr))
{
}

MergedLines& MergedLines::operator=(MergedLines&& other) noexcept
{
    if (this != &other) {
        Clear();
        head = std::exchange(other.head, nullptr);
        tail = std::exchange(other.tail, nullptr);
    }
    return *this;
}

void MergedLines::Clear()
{
    // Iteratively: a chain of owning pointers would recurse once per line.
    while (head) {
        MergedLine* next = head->next;
        delete head;
        head = next;
    }
    tail = nullptr;
}

void MergedLines::Append(std::unique_ptr<MergedLine> record)
{
    MergedLine* added = record.release();
    added->next = nullptr;
    if (tail)
        tail->next = added;
    else
        head = added;
    tail = added;
}

std::unique_ptr<MergedLine> MergedLines::PopFront()
{
    if (!head)
        return nullptr;
    std::unique_ptr<MergedLine> first(head);
    head = head->next;
    if (!head)
        tail = nullptr;
    first->next = nullptr;
    return first;
}

wxString NoteTimeStamp(const wxDateTime& time)
{
    return time.Format(wxT("%Y/%m/%d %H:%M:%S"));
}

MergedLines MergeConfigurationLines(Server& server, const std::vector<wxString>* lines, const wxDateTime& blockTime,
                                    const StatusReport& report)
{
    auto status = [&](const wxString& text) {
        if (report)
            report(text);
    };
    MergedLines merged;
    ResetParameterMergeState();
    status(_("Starting updating configuration file ..."));

    ExtensionMerge extension(server.extensionSettings);
    int matched = 0;
    if (lines) {
        for (const wxString& line : *lines) {
            LineRewrite rewrite = server.RewriteLine(line);
            const bool ofTheTable = rewrite.kind != LineRewriteKind::noMatch;
            if (ofTheTable)
                ++matched; // N counts the 17's lines only
            else
                rewrite = extension.RewriteLine(line);
            auto record = std::make_unique<MergedLine>();
            bool changed = false;
            switch (rewrite.kind) {
            case LineRewriteKind::noMatch:
            case LineRewriteKind::noTunedValue:
                break;
            case LineRewriteKind::repeat:
                changed = true;
                break;
            case LineRewriteKind::rewritten:
                changed = rewrite.previousValue != rewrite.newValue || rewrite.wasCommented;
                break;
            }
            if (!changed) {
                record->text = line;
                merged.Append(std::move(record));
                continue;
            }
            const ExtensionSetting* setting =
                ofTheTable ? nullptr : &server.extensionSettings[rewrite.parameterIndex];
            status(_("Updating parameter ") +
                   (setting ? setting->name : wxString(tuningParameterNames[rewrite.parameterIndex])) + wxT(" ..."));
            record->text = rewrite.replacement;
            record->changed = true;
            record->previousValue = rewrite.previousValue;
            record->wasCommented = rewrite.wasCommented;
            record->sourceText = line;
            const bool rewritten = rewrite.kind == LineRewriteKind::rewritten;
            if (setting) {
                record->extensionName = setting->name;
                if (rewritten)
                    record->reasonNote = ReasonNote(setting->reason, setting->restart);
                if (rewritten && rewrite.wasCommented)
                    extension.NoteSwitchedOn(rewrite.parameterIndex, record.get());
            } else {
                record->parameterIndex = rewrite.parameterIndex;
                if (rewritten)
                    record->reasonNote = RefinedReasonNote(server, rewrite.parameterIndex);
            }
            merged.Append(std::move(record));
        }
    }
    extension.MarkSuperseded();

    // The 17's part of the block. Its bound is 16, not 17: N counts repeats and lines
    // without a value as well; and a first ask that hands out nothing ends it.
    std::vector<std::pair<wxString, wxString>> block; // setting, reason note
    constexpr int blockBound = 16;
    if (matched < blockBound) {
        for (int ask = 0; ask < blockBound - matched; ++ask) {
            const wxString setting = server.NextMissingSetting();
            if (setting.empty() && ask == 0)
                break;
            if (!setting.empty())
                block.emplace_back(setting,
                                   RefinedReasonNote(server, ParameterIndexOf(setting.BeforeFirst(wxT(' ')))));
        }
    }
    const std::vector<std::size_t> missing = extension.TakeMissing();
    for (std::size_t n = 0; n < missing.size() && n < static_cast<std::size_t>(extensionBlockBound); ++n) {
        const ExtensionSetting& setting = server.extensionSettings[missing[n]];
        block.emplace_back(setting.name + wxT(" = ") + setting.value, ReasonNote(setting.reason, setting.restart));
    }
    if (!block.empty()) {
        auto add = [&](const wxString& text, const wxString& reasonNote) {
            auto record = std::make_unique<MergedLine>();
            record->text = text;
            record->changed = true;
            record->reasonNote = reasonNote;
            merged.Append(std::move(record));
        };
        add(_(blockNotePrefix) + NoteTimeStamp(blockTime), wxString());
        add(blockBegin, wxString());
        for (const auto& [setting, reasonNote] : block)
            add(setting, reasonNote);
        add(blockEnd, wxString());
    }
    status(_("Closing configuration file ..."));
    return merged;
}

bool IsShownAsChange(const MergedLine& record)
{
    if (!record.changed || !record.wasCommented)
        return record.changed;
    if (record.parameterIndex >= 0)
        return parameterMergeState[record.parameterIndex] == CommentedMatch;
    return !record.superseded;
}

bool HasNoteLines(const MergedLine& record)
{
    return IsShownAsChange(record) && !record.previousValue.empty();
}

void AppendNoteLines(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out)
{
    if (!IsShownAsChange(record))
        return;
    if (!record.previousValue.empty())
        AppendChangeNotes(record, stamp, out);
    if (!record.reasonNote.empty())
        out.push_back(record.reasonNote);
}

void AppendAnnotatedLines(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out)
{
    AppendNoteLines(record, stamp, out);
    out.push_back(record.text);
}

bool IsBlockMarker(const wxString& text)
{
    return text.StartsWith(_(blockNotePrefix)) || text == blockBegin || text == blockEnd;
}
