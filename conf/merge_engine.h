// Merging tuned values into configuration text: lines in, annotated records out. No windows
// and no files here; the review page reads the file and shows or writes the result.
#pragma once

#include "installations/server.h"
#include "protocol/tuning_parameters.h"

#include <wx/datetime.h>
#include <wx/string.h>

#include <array>
#include <functional>
#include <memory>
#include <vector>

// How far a merge has got with one parameter. States only rise.
enum ParameterMergeState : int {
    Unseen = 0,         // no line has named it yet, and it has not been appended
    CommentedMatch = 1, // only commented-out lines named it; one was switched on
    Settled = 2,        // an active line named it, it had no value, or the block handed it out
};

// One table for the whole program, reset by every merge and read afterwards by the
// annotation rule, which depends on the final states.
extern std::array<ParameterMergeState, tuningParameterCount> parameterMergeState;
void ResetParameterMergeState();

enum class LineRewriteKind { noMatch, repeat, noTunedValue, rewritten };

// What Server::RewriteLine made of one line.
struct LineRewrite
{
    LineRewriteKind kind = LineRewriteKind::noMatch;
    wxString replacement;
    int parameterIndex = -1;
    wxString previousValue;
    wxString newValue;
    bool wasCommented = false;
};

// One output line of a merge, before its note lines are added.
struct MergedLine
{
    wxString text;
    bool changed = false;
    MergedLine* next = nullptr;
    int parameterIndex = -1;
    wxString previousValue; // rewritten lines only
    bool wasCommented = false;
    wxString sourceText; // the line as read, changed file lines only
    // A rewritten or emptied line of a setting beyond the 17, which has no table index.
    wxString extensionName;
    // A commented-out line of such a setting that a later active line took over: written as
    // plain, as the 17's are when their final state is not CommentedMatch.
    bool superseded = false;
    // The note line giving the reason of the value, written after the other notes; empty: none.
    wxString reasonNote;
};

// The records of a merge in order. Owns them; PopFront hands them out one by one so a
// user can release each after writing it, which keeps big files from doubling in memory.
class MergedLines
{
public:
    MergedLines() = default;
    ~MergedLines();
    MergedLines(MergedLines&& other) noexcept;
    MergedLines& operator=(MergedLines&& other) noexcept;
    MergedLines(const MergedLines&) = delete;
    MergedLines& operator=(const MergedLines&) = delete;

    void Append(std::unique_ptr<MergedLine> record);
    std::unique_ptr<MergedLine> PopFront();
    const MergedLine* First() const { return head; }
    bool empty() const { return head == nullptr; }

private:
    void Clear();
    MergedLine* head = nullptr;
    MergedLine* tail = nullptr;
};

// Where the merge sends its status texts (the preview's progress dialog, or nowhere).
using StatusReport = std::function<void(const wxString& text)>;

// The merge over the lines of a file, or over no file when `lines` is null. Resets the
// merge state, rewrites the lines (the server's extension settings in the same three ways as
// the 17), appends the block of missing parameters stamped with `blockTime`, and reports "Starting updating configuration file ...", one "Updating
// parameter ..." per changed line and "Closing configuration file ...".
MergedLines MergeConfigurationLines(Server& server, const std::vector<wxString>* lines, const wxDateTime& blockTime,
                                    const StatusReport& report);

// Note stamps and the block stamp: "%Y/%m/%d %H:%M:%S", local time.
wxString NoteTimeStamp(const wxDateTime& time);

// The most settings beyond the 17 that one block appends.
constexpr int extensionBlockBound = 64;

// "# Reason: <reason>", saying so when the value takes effect only after a restart.
wxString ReasonNote(const wxString& reason, bool restart);

// The annotation rule, shared by the save and the preview. A record is shown as a change
// unless it is unchanged or a commented-out line that a later active line superseded;
// it carries two note lines when, in addition, it held a previous value.
bool IsShownAsChange(const MergedLine& record);
bool HasNoteLines(const MergedLine& record);
// The note lines written before the record: the two of HasNoteLines, then the reason of a
// record shown as a change.
void AppendNoteLines(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out);
// Note lines, then the record's text.
void AppendAnnotatedLines(const MergedLine& record, const wxString& stamp, std::vector<wxString>& out);

// Lines of the appended block that are drawn as notes rather than as settings.
bool IsBlockMarker(const wxString& text);
