// A log target that keeps wxLogError texts for the test to check, instead of error boxes.
#pragma once

#include <wx/log.h>

#include <string>
#include <vector>

class CapturedLog : public wxLog
{
public:
    // Error texts logged since the last Clear(), in order.
    static std::vector<std::string> Errors();
    static void Clear();

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo& info) override;
};
