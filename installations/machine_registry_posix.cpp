// Where this machine's registry comes from when there is no system registry to read.
#include "installations/registry_layouts.h"
#include "installations/registry_key.h"
#include "installations/registry_reg_file.h"

#include <wx/filefn.h>
#include <wx/utils.h>

#include <iostream>

std::unique_ptr<RegFileRegistry> LoadMachineRegistry(const MachineRegistrySources& sources, std::ostream& warnings)
{
    // Nothing here runs under a 32-bit subsystem: one view.
    auto registry = std::make_unique<RegFileRegistry>(false);
    if (!sources.override.empty()) {
        if (wxDirExists(sources.override))
            registry->LoadFolder(sources.override, warnings);
        else
            registry->LoadFile(sources.override, warnings);
        return registry;
    }
    AddInstalledServers(*registry, sources.layouts, warnings);
    if (wxDirExists(sources.folder))
        registry->LoadFolder(sources.folder, warnings);
    return registry;
}

std::unique_ptr<RegistryBackend> LoadThisMachineRegistry()
{
    MachineRegistrySources sources;
    wxGetEnv(wxT("PELLORAN_REGISTRY"), &sources.override);
    return LoadMachineRegistry(sources, std::cerr);
}
