#include "conf/merge_engine.h"

#include "conf/active_settings.h"

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

} // namespace

LineRewrite Server::RewriteLine(const wxString& line)
{
    LineRewrite result;
    std::size_t at = SkipSettingBlanks(line, 0);
    if (at < line.length() && line[at] == wxT('#')) {
        result.wasCommented = true;
        at = SkipSettingBlanks(line, at + 1);
    }

    std::size_t valueStart = 0;
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        const wxString name = tuningParameterNames[i];
        if (line.compare(at, name.length(), name) != 0)
            continue;
        const std::size_t afterName = SkipSettingBlanks(line, at + name.length());
        // A longer name that starts with this one (autovacuum_naptime after autovacuum)
        // has no "=" here; try the next name.
        if (afterName < line.length() && line[afterName] == wxT('=')) {
            result.parameterIndex = static_cast<int>(i);
            valueStart = SkipSettingBlanks(line, afterName + 1);
            break;
        }
    }
    if (result.parameterIndex < 0)
        return result;

    ParameterMergeState& state = parameterMergeState[result.parameterIndex];
    if (state == Settled) {
        result.kind = LineRewriteKind::repeat;
        return result;
    }
    const wxString& tuned = TunedValue(*this, result.parameterIndex);
    if (tuned.empty()) {
        state = Settled;
        result.kind = LineRewriteKind::noTunedValue;
        return result;
    }
    state = result.wasCommented ? CommentedMatch : Settled;

    const std::size_t valueEnd = SettingValueEnd(line, valueStart);
    result.previousValue = line.substr(valueStart, valueEnd - valueStart);
    result.newValue = tuned;
    result.replacement = tuningParameterNames[result.parameterIndex];
    result.replacement << wxT(" = ") << tuned << line.substr(valueEnd);
    result.kind = LineRewriteKind::rewritten;
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

    int matched = 0;
    if (lines) {
        for (const wxString& line : *lines) {
            const LineRewrite rewrite = server.RewriteLine(line);
            auto record = std::make_unique<MergedLine>();
            bool changed = false;
            switch (rewrite.kind) {
            case LineRewriteKind::noMatch:
                break;
            case LineRewriteKind::repeat:
                ++matched;
                changed = true;
                break;
            case LineRewriteKind::noTunedValue:
                ++matched;
                break;
            case LineRewriteKind::rewritten:
                ++matched;
                changed = rewrite.previousValue != rewrite.newValue || rewrite.wasCommented;
                break;
            }
            if (changed) {
                status(_("Updating parameter ") + tuningParameterNames[rewrite.parameterIndex] + wxT(" ..."));
                record->text = rewrite.replacement;
                record->changed = true;
                record->parameterIndex = rewrite.parameterIndex;
                record->previousValue = rewrite.previousValue;
                record->wasCommented = rewrite.wasCommented;
                record->sourceText = line;
            } else {
                record->text = line;
            }
            merged.Append(std::move(record));
        }
    }

    // The bound is 16, not 17: N counts repeats and lines without a value as well.
    constexpr int blockBound = 16;
    if (matched < blockBound) {
        wxString setting = server.NextMissingSetting();
        if (!setting.empty()) {
            auto add = [&](const wxString& text) {
                auto record = std::make_unique<MergedLine>();
                record->text = text;
                record->changed = true;
                merged.Append(std::move(record));
            };
            add(_(blockNotePrefix) + NoteTimeStamp(blockTime));
            add(blockBegin);
            add(setting);
            for (int ask = 1; ask < blockBound - matched; ++ask) {
                setting = server.NextMissingSetting();
                if (!setting.empty())
                    add(setting);
            }
            add(blockEnd);
        }
    }
    status(_("Closing configuration file ..."));
    return merged;
}

bool IsShownAsChange(const MergedLine& record)
{
    if (!record.changed)
        return false;
    return !(record.wasCommented && record.parameterIndex >= 0 &&
             parameterMergeState[record.parameterIndex] != CommentedMatch);
}

bool HasNoteLines(const MergedLine& record)
{
    return IsShownAsChange(record) && !record.previousValue.empty();
}

void AppendNoteLines(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out)
{
    if (!HasNoteLines(record))
        return;
    if (record.wasCommented) {
        out.push_back(record.sourceText);
        out.push_back(_("# NOTE: This parameter is been added by Norvane's Pelloran on ") + stamp);
    } else {
        out.push_back(_("# NOTE: This has been modified by Norvane's Pelloran on ") + stamp);
        wxString original = _("#       Original Value for ");
        original << wxT('"') << tuningParameterNames[record.parameterIndex] << wxT('"') << _(" was ") << wxT('"')
                 << record.previousValue << wxT('"');
        out.push_back(original);
    }
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
