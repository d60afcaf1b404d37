#include "pages/proxy_input.h"

namespace {

bool IsSignedDigits(const wxString& text)
{
    auto it = text.begin();
    if (it != text.end() && (*it == wxT('+') || *it == wxT('-')))
        ++it;
    for (; it != text.end(); ++it)
        if (*it < wxT('0') || *it > wxT('9'))
            return false;
    return true;
}

} // namespace

ProxyInputProblem CheckProxyInput(const wxString& host, const wxString& port)
{
    if (!port.empty() && !IsSignedDigits(port))
        return ProxyInputProblem::invalidPort;
    if (host.empty() != port.empty())
        return ProxyInputProblem::unpaired;
    return ProxyInputProblem::none;
}
