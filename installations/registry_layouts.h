// The PostgreSQL installations of this machine, from its packaged layouts and its running
// servers, presented as the service and installation keys that the discovery reads.
#pragma once

#include "installations/server_program.h"

#include <wx/string.h>

#include <iosfwd>
#include <memory>

class RegFileRegistry;

// Adds, under HKEY_LOCAL_MACHINE\SOFTWARE\PostgreSQL, one service key per cluster and one
// installation key per server program, in this order: Debian's clusters
// ("postgresql@<version>-<cluster>", in version order, then cluster name order; installation
// "postgresql-<version>"), the Red Hat family's (PGDG "postgresql-<version>", then the
// distribution's own "postgresql"), Arch's ("postgresql"), then each running server whose data
// directory none of them holds ("postgres@<data directory>"). A running server of a packaged
// cluster gives that cluster its port. Only servers whose account owns their data directory
// and is root or the database account of a packaged layout are looked at. A file that is refused (a link, not a regular file,
// beyond the size bound or the budget of included files) is reported to `warnings`.
void AddInstalledServers(RegFileRegistry& registry, const ServerLayouts& layouts, std::ostream& warnings);

struct MachineRegistrySources
{
    wxString override; // a .reg file or a folder of them: the whole registry when set
    wxString folder = wxT("/etc/pelloran/registry.d");
    ServerLayouts layouts;
};

// The registry the program reads: the override alone, or the installed servers followed by
// the folder's files (which may add to them, change or remove them).
std::unique_ptr<RegFileRegistry> LoadMachineRegistry(const MachineRegistrySources& sources, std::ostream& warnings);
