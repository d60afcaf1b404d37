// The walk over the machine registry that finds the PostgreSQL installations to offer.
#pragma once

#include <wx/string.h>

#include <functional>

class RegistryBackend;
class Server;

// Receives each installation kept by the listing rule, in discovery order, with its list
// text ("PostgreSQL 15 (main) on port 5432"); takes ownership of the record.
using InstallationSink = std::function<void(const wxString& listText, Server* record)>;

// Walks the machine registry; true when at least one installation was handed to `append`.
bool DiscoverInstallations(const InstallationSink& append);
// The same walk over a given registry (on a 64-bit system: the 32-bit view, then the 64-bit).
bool DiscoverInstallations(const RegistryBackend& registry, const InstallationSink& append);

// The listing rule on version numbers: 8.2 and later minors of 8, 9.0, x.2 and later.
bool IsListedVersion(int majorVersion, int minorVersion);
