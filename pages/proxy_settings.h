// The user's HTTP proxy for the tuning service: two texts in the per-user settings store.
#pragma once

#include <wx/string.h>

// The names under which the two texts are stored.
extern const wxChar proxyHostValueName[];
extern const wxChar proxyPortValueName[];

// Empties both, then fills each from the store when it holds the value. A missing store
// or value reads as empty; nothing is reported.
void ReadProxySettings(wxString& host, wxString& port);

// Stores both texts exactly as given, always together, keeping whatever else the store
// holds. False when they could not be stored (the store has logged why).
bool WriteProxySettings(const wxString& host, const wxString& port);
