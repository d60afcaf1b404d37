// The clusters of this machine's PostgreSQL packaging (/etc/postgresql/<version>/<cluster>/),
// presented as the service and installation keys that the discovery reads.
#pragma once

#include <wx/string.h>

#include <iosfwd>
#include <memory>

class RegFileRegistry;

struct DebianLayout
{
    wxString configurationRoot = wxT("/etc/postgresql"); // <version>/<cluster>/postgresql.conf
    wxString programRoot = wxT("/usr/lib/postgresql");   // <version>/bin/postgres
};

// Adds, under HKEY_LOCAL_MACHINE\SOFTWARE\PostgreSQL, one service key per cluster
// ("postgresql@<version>-<cluster>") and one installation key per version
// ("postgresql-<version>"), in version order, then cluster name order.
void AddDebianClusters(RegFileRegistry& registry, const DebianLayout& layout);

struct MachineRegistrySources
{
    wxString override;        // a .reg file or a folder of them: the whole registry when set
    wxString folder = wxT("/etc/pelloran/registry.d");
    DebianLayout debian;
};

// The registry the program reads: the override alone, or the packaged clusters followed by
// the folder's files (which may add to them, change or remove them).
std::unique_ptr<RegFileRegistry> LoadMachineRegistry(const MachineRegistrySources& sources, std::ostream& warnings);
