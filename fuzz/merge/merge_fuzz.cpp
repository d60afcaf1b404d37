// The merge with a fuzzed configuration file, server version and 17 tuned values. The values
// are any printable text, a wider set than the exchange lets through, so that the merge's own
// guarantees are tested: every line of the file comes out once, as it was or rewritten for
// its parameter (or emptied, when it repeats one), no output line holds a line break, and the file as written reads back as
// the same lines.
#include "conf/conf_text.h"
#include "conf/merge_engine.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace {

// The exchange admits no control character into the record, and no decoder of the program
// yields a lone surrogate (the toolkit's lenient one here does, and the file writer would
// rightly write it as U+FFFD).
wxString PrintableValue(const std::string& bytes)
{
    wxString value;
    for (wxUniChar c : wxString::FromUTF8(bytes.data(), bytes.size()))
        if (c >= 0x20 && c != 0x7F && (c < 0xD800 || c > 0xDFFF))
            value += c;
    return value;
}

bool HasLineBreak(const wxString& text)
{
    return text.find_first_of(wxT("\r\n")) != wxString::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Server server;
    server.SetVersion(wxString::FromUTF8(input.ConsumeRandomLengthString(8)));
    for (wxString& value : server.values)
        value = PrintableValue(input.ConsumeRandomLengthString(24));
    const bool withFile = input.ConsumeBool();
    std::vector<wxString> lines;
    wxString reason;
    if (!DecodeConfText(input.ConsumeRemainingBytesAsString(), lines, reason))
        return 0; // refused files are never merged

    MergedLines merged = MergeConfigurationLines(server, withFile ? &lines : nullptr,
                                                 wxDateTime(1, wxDateTime::Jan, 2026, 12, 0, 0), nullptr);

    std::vector<wxString> written;
    std::size_t index = 0;
    for (const MergedLine* record = merged.First(); record; record = record->next, ++index) {
        Require(!HasLineBreak(record->text), "no output line holds a line break");
        if (withFile && index < lines.size()) {
            if (record->changed) {
                Require(record->sourceText == lines[index], "a changed line keeps the line it came from");
                // An emptied repeat is the one changed line that sets nothing.
                Require(record->parameterIndex >= 0 &&
                            (record->text.empty() || record->text.StartsWith(tuningParameterNames[record->parameterIndex])),
                        "a changed line sets its own parameter or is emptied");
            } else {
                Require(record->text == lines[index], "an unchanged line is kept as it was");
            }
        } else {
            Require(record->changed, "every line after the file's own is an addition");
        }
        AppendAnnotatedLines(*record, wxT("2026/01/01 12:00:00"), written);
    }
    Require(index >= (withFile ? lines.size() : 0), "every line of the file comes out");

    std::string bytes;
    for (const wxString& line : written) {
        Require(!HasLineBreak(line), "no note line holds a line break");
        AppendConfLine(bytes, line);
    }
    std::vector<wxString> readBack;
    Require(DecodeConfText(bytes, readBack, reason), "the written file can be read again");
    Require(readBack == written, "the written file reads back as the lines written");
    return 0;
}
