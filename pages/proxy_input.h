// What the proxy dialog accepts: the rules, apart from the window.
#pragma once

#include <wx/string.h>

enum class ProxyInputProblem
{
    none,
    invalidPort,  // a port that is not empty and not a number
    unpaired,     // exactly one of host and port is empty
};

// A number here is an optional '+' or '-' followed only by ASCII decimal digits, so a
// lone sign passes; an empty port skips the number rule. The port is judged first.
ProxyInputProblem CheckProxyInput(const wxString& host, const wxString& port);
