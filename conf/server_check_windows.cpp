#include "conf/server_check.h"

#include <wx/intl.h>

wxString ServerCheckUnavailable(const Server&, const wxString&)
{
    return _("the server's program is not run on Windows.");
}

ServerVerdict AskServer(const Server& server, const wxString& confPath, const std::string&, const std::vector<wxString>&)
{
    ServerVerdict verdict;
    verdict.whyNotRun = ServerCheckUnavailable(server, confPath);
    return verdict;
}
