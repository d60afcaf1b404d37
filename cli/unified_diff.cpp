#include "cli/unified_diff.h"

#include <algorithm>

namespace {

enum class Edit { keep, remove, add };

// The shortest edit script (Myers): the merge changes few lines of a long file, so the work
// grows with the changes, not with the file.
std::vector<Edit> ShortestEdits(const std::vector<wxString>& a, const std::vector<wxString>& b)
{
    const long n = static_cast<long>(a.size()), m = static_cast<long>(b.size()), offset = n + m + 1;
    std::vector<long> reach(2 * offset + 1, 0);
    std::vector<std::vector<long>> trace;
    long d = 0;
    for (; d <= n + m; ++d) {
        trace.emplace_back(reach.begin() + offset - d, reach.begin() + offset + d + 1);
        bool done = false;
        for (long k = -d; k <= d && !done; k += 2) {
            long x = (k == -d || (k != d && reach[offset + k - 1] < reach[offset + k + 1])) ? reach[offset + k + 1]
                                                                                           : reach[offset + k - 1] + 1;
            long y = x - k;
            while (x < n && y < m && a[x] == b[y])
                ++x, ++y;
            reach[offset + k] = x;
            done = x >= n && y >= m;
        }
        if (done)
            break;
    }
    // Walk back through the saved rows (trace[d] holds the diagonals -d..d before step d).
    std::vector<Edit> edits;
    long x = n, y = m;
    for (; d > 0; --d) {
        const std::vector<long>& row = trace[d];
        auto at = [&](long k) { return row[k + d]; };
        const long k = x - y;
        const bool down = k == -d || (k != d && at(k - 1) < at(k + 1));
        const long previousK = down ? k + 1 : k - 1;
        const long previousX = at(previousK), previousY = previousX - previousK;
        while (x > previousX + (down ? 0 : 1) && y > previousY + (down ? 1 : 0))
            edits.push_back(Edit::keep), --x, --y;
        edits.push_back(down ? Edit::add : Edit::remove);
        x = previousX, y = previousY;
    }
    while (x > 0 && y > 0)
        edits.push_back(Edit::keep), --x, --y;
    std::reverse(edits.begin(), edits.end());
    return edits;
}

wxString Range(long start, long count)
{
    // A range of no lines names the line before it, as diff does.
    if (count == 0)
        return wxString::Format(wxT("%ld,0"), start);
    return count == 1 ? wxString::Format(wxT("%ld"), start + 1) : wxString::Format(wxT("%ld,%ld"), start + 1, count);
}

} // namespace

std::vector<wxString> UnifiedDiff(const std::vector<wxString>& oldLines, const std::vector<wxString>& newLines,
                                  const wxString& oldName, const wxString& newName, int context)
{
    const std::vector<Edit> edits = ShortestEdits(oldLines, newLines);
    std::vector<wxString> out;
    const std::size_t count = edits.size();
    std::size_t i = 0;
    long oldAt = 0, newAt = 0; // positions before edits[i]
    while (i < count) {
        if (edits[i] == Edit::keep) {
            ++i, ++oldAt, ++newAt;
            continue;
        }
        // A hunk: `context` kept lines before its first change and after its last; changes
        // closer than twice that share one.
        const std::size_t back = std::min<std::size_t>(context, i);
        const std::size_t start = i - back;
        const long oldStart = oldAt - static_cast<long>(back), newStart = newAt - static_cast<long>(back);
        std::size_t lastChange = i, e = i;
        while (e < count) {
            if (edits[e] != Edit::keep) {
                lastChange = e++;
                continue;
            }
            std::size_t run = e;
            while (run < count && edits[run] == Edit::keep)
                ++run;
            if (run == count || run - e > static_cast<std::size_t>(2 * context))
                break;
            e = run;
        }
        const std::size_t end = std::min(count, lastChange + 1 + context);
        std::vector<wxString> body;
        long oldCount = 0, newCount = 0, o = oldStart, n = newStart;
        for (std::size_t e = start; e < end; ++e) {
            switch (edits[e]) {
            case Edit::keep:
                body.push_back(wxT(" ") + oldLines[o++]), ++n, ++oldCount, ++newCount;
                break;
            case Edit::remove:
                body.push_back(wxT("-") + oldLines[o++]), ++oldCount;
                break;
            case Edit::add:
                body.push_back(wxT("+") + newLines[n++]), ++newCount;
                break;
            }
        }
        if (out.empty()) {
            out.push_back(wxT("--- ") + oldName);
            out.push_back(wxT("+++ ") + newName);
        }
        out.push_back(wxT("@@ -") + Range(oldStart, oldCount) + wxT(" +") + Range(newStart, newCount) + wxT(" @@"));
        out.insert(out.end(), body.begin(), body.end());
        i = end, oldAt = o, newAt = n;
    }
    return out;
}
