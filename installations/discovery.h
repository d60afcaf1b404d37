// The walk over the machine registry that finds the PostgreSQL installations to offer.
#pragma once

#include <wx/string.h>

#include <functional>

class Server;

// Receives each installation kept by the listing rule, in discovery order, with its list
// text ("PostgreSQL 15 (main) on port 5432"); takes ownership of the record.
using InstallationSink = std::function<void(const wxString& listText, Server* record)>;

// Walks the machine registry; true when at least one installation was handed to `append`.
bool DiscoverInstallations(const InstallationSink& append);
