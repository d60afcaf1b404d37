// The walk over the machine registry that finds the PostgreSQL installations to offer.
#pragma once

#include "protocol/server_version.h"

#include <wx/string.h>

#include <functional>
#include <memory>
#include <vector>

class RegistryBackend;
class Server;

// Receives each installation kept by the listing rule, in discovery order, with its list
// text ("PostgreSQL 15 (main) on port 5432"); takes ownership of the record.
using InstallationSink = std::function<void(const wxString& listText, Server* record)>;

// One installation as discovery keeps it.
struct FoundInstallation
{
    wxString listText;
    std::unique_ptr<Server> server;
};

// The bitness of a record found in a registry without views, from its other values.
using BitnessRule = std::function<wxString(const Server& record)>;

// Walks the machine registry; true when at least one installation was handed to `append`.
// Without registry views, a record's bitness is the word size of its server program.
bool DiscoverInstallations(const InstallationSink& append);
// The same walk, its findings kept in discovery order: a list that one thread can make while
// another builds the window that shows it.
std::vector<FoundInstallation> DiscoverAllInstallations();
// The same walk over a given registry (on a 64-bit system: the 32-bit view, then the 64-bit).
// Records of a system without views get `oneViewBitness`, "32" when there is none.
bool DiscoverInstallations(const RegistryBackend& registry, const InstallationSink& append,
                           const BitnessRule& oneViewBitness = nullptr);

// The word size of <base directory>/bin/postgres, this machine's when it cannot be read.
wxString InstalledServerBitness(const Server& record);

// The listing rule on version numbers: 8.2 and later minors of 8, 9.0, 9.2 and later minors
// of 9, and every version from 10 on.
bool IsListedVersion(const ServerVersion& version);
