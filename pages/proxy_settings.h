// The user's HTTP proxy for the tuning service: two texts in the per-user settings store.
#pragma once

#include <wx/string.h>

// Empties both, then fills each from the store when it holds the value.
void ReadProxySettings(wxString& host, wxString& port);
