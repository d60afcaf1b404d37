#include "installations/discovery.h"

#include "installations/file_path.h"
#include "installations/registry_key.h"
#include "installations/server_program.h"
#include "installations/server.h"

#include <wx/intl.h>

#include <memory>

namespace {

const wxChar* const servicesKey = wxT("Software\\PostgreSQL\\Services");
const wxChar* const installationsKey = wxT("Software\\PostgreSQL\\Installations\\");

// The maker's own server products are tuned by other means.
const wxChar* const excludedPrefixes[] = {wxT("Orvalis Server"), wxT("Varnholt Orvalis Server")};

struct Pass
{
    int view;
    const wxChar* suffix;
    const wxChar* bitness;
};

bool IsExcluded(const wxString& displayName)
{
    for (const wxChar* prefix : excludedPrefixes)
        if (displayName.StartsWith(prefix))
            return true;
    return false;
}

// Fills a record from one service key; the record is kept by the caller's rule.
void ReadService(const RegistryBackend& registry, const RegistryKey& service, int view, Server& server)
{
    std::uint32_t port = 0;
    server.port = service.QueryDword(wxT("Port"), port) ? static_cast<int>(port) : 0;
    service.QueryString(wxT("Data Directory"), server.dataDirectory);
    service.QueryString(wxT("Database Superuser"), server.superuser);
    service.QueryString(wxT("Service Account"), server.serviceAccount);
    service.QueryString(wxT("Encoding"), server.encoding);
    service.QueryString(wxT("Locale"), server.locale);

    wxString productCode;
    service.QueryString(wxT("Product Code"), productCode);
    if (productCode.empty())
        return;
    const auto installation =
        OpenRegistryKey(registry, RegistryRoot::localMachine, installationsKey + productCode, false, view);
    if (!installation)
        return;
    wxString version;
    if (installation->QueryString(wxT("Version"), version)) {
        server.SetVersion(version);
    } else {
        server.versionNumber = {};
    }
    installation->QueryString(wxT("Base Directory"), server.baseDirectory);
}

} // namespace

bool IsListedVersion(const ServerVersion& version)
{
    // From 10 on the second number is a patch level, not part of the major version.
    if (version.major >= 10)
        return true;
    return (version.major >= 8 && version.minor >= 2) || (version.major == 9 && version.minor == 0);
}

bool DiscoverInstallations(const RegistryBackend& registry, const InstallationSink& append,
                           const BitnessRule& oneViewBitness)
{
    std::vector<Pass> passes;
    if (registry.Is64BitSystem()) {
        passes.push_back({registryView32, wxT(""), wxT("32")});
        passes.push_back({registryView64, wxT(" (x64)"), wxT("64")});
    } else {
        passes.push_back({registryViewDefault, wxT(""), wxT("32")});
    }

    bool appended = false;
    for (const Pass& pass : passes) {
        const auto services = OpenRegistryKey(registry, RegistryRoot::localMachine, servicesKey, false, pass.view);
        if (!services)
            continue;
        long index = 0;
        for (auto service = services->GetFirstSubKey(index); service; service = services->GetNextSubKey(index)) {
            auto server = std::make_unique<Server>();
            server->bitness = pass.bitness;
            server->displayName = _("Unknown server");
            service->QueryString(wxT("Display Name"), server->displayName);
            if (IsExcluded(server->displayName))
                continue;
            ReadService(registry, *service, pass.view, *server);
            if (!registry.Is64BitSystem() && oneViewBitness)
                server->bitness = oneViewBitness(*server);
            const wxString listText =
                wxString::Format(_("%s%s on port %d"), server->displayName, pass.suffix, server->port);
            if (server->port != 0 && !server->dataDirectory.empty() && !server->superuser.empty()
                && IsListedVersion(server->versionNumber)) {
                append(listText, server.release());
                appended = true;
            }
        }
    }
    return appended;
}

bool DiscoverInstallations(const InstallationSink& append)
{
    return DiscoverInstallations(MachineRegistry(), append, InstalledServerBitness);
}

std::vector<FoundInstallation> DiscoverAllInstallations()
{
    std::vector<FoundInstallation> found;
    DiscoverInstallations([&found](const wxString& listText, Server* record) {
        found.push_back({listText, std::unique_ptr<Server>(record)});
    });
    return found;
}

wxString InstalledServerBitness(const Server& record)
{
    if (record.baseDirectory.empty())
        return MachineWordSize();
    return ServerBitness(JoinPath(JoinPath(record.baseDirectory, wxT("bin")), wxT("postgres")));
}
