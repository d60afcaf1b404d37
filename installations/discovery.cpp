#include "installations/discovery.h"

#include "installations/server.h"

// Placeholder until the registry walk lands: nothing is found.
bool DiscoverInstallations(const InstallationSink&)
{
    return false;
}
