#include "pages/proxy_settings.h"

#include "pages/settings_store.h"

#include <wx/config.h>

const wxChar proxyHostValueName[] = wxT("HTTP proxy host");
const wxChar proxyPortValueName[] = wxT("HTTP proxy port");

void ReadProxySettings(wxString& host, wxString& port)
{
    host.clear();
    port.clear();
    std::unique_ptr<wxConfigBase> store = OpenSettingsStore(false);
    store->Read(proxyHostValueName, &host);
    store->Read(proxyPortValueName, &port);
}

bool WriteProxySettings(const wxString& host, const wxString& port)
{
    std::unique_ptr<wxConfigBase> store = OpenSettingsStore(true);
    bool written = store->Write(proxyHostValueName, host);
    written = store->Write(proxyPortValueName, port) && written;
    return store->Flush() && written;
}
