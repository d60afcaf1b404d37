#include "pages/proxy_settings.h"

// Placeholder until the settings store lands: no proxy is configured.
void ReadProxySettings(wxString& host, wxString& port)
{
    host.clear();
    port.clear();
}
