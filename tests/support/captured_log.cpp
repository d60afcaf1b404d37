#include "tests/support/captured_log.h"

#include <cstdio>

namespace {
std::vector<std::string> errorTexts;
}

std::vector<std::string> CapturedLog::Errors()
{
    return errorTexts;
}

void CapturedLog::Clear()
{
    errorTexts.clear();
}

void CapturedLog::DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&)
{
    if (level <= wxLOG_Error)
        errorTexts.push_back(message.utf8_string());
    else if (level <= wxLOG_Message)
        std::fprintf(stderr, "log: %s\n", message.utf8_str().data());
}
