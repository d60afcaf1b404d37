// A stand-in for the HTTPS transport until the Windows one is written: it registers like the
// real one, so the exchange runs as far as its first call, and fails every call saying why.
#include "tuning/http_transport.h"

#include <new>

namespace {

const char* const stubReason = "No HTTPS transport";
const char* const stubDetail = "This Windows build has no HTTPS transport yet; the tuning service cannot be reached.";

SOAP_SOCKET OpenHook(struct soap* soap, const char*, const char*, int)
{
    soap->socket = SOAP_INVALID_SOCKET;
    soap_set_receiver_error(soap, stubReason, stubDetail, SOAP_TCP_ERROR);
    return SOAP_INVALID_SOCKET;
}

int CopyHook(struct soap*, struct soap_plugin*, struct soap_plugin*)
{
    return SOAP_FATAL_ERROR;
}

void DeleteHook(struct soap*, struct soap_plugin* plugin)
{
    delete static_cast<TransportState*>(plugin->data);
    plugin->data = nullptr;
}

int CreateHook(struct soap* soap, struct soap_plugin* plugin, void* argument)
{
    auto* state = new (std::nothrow) TransportState;
    if (state == nullptr)
        return SOAP_EOM;
    state->requestFlags = *static_cast<unsigned long*>(argument);
    plugin->id = transportPluginId;
    plugin->data = state;
    plugin->fcopy = CopyHook;
    plugin->fdelete = DeleteHook;
    soap->fopen = OpenHook;
    return SOAP_OK;
}

} // namespace

int RegisterTransport(struct soap* soap, unsigned long requestFlags)
{
    if (FindTransport(soap) != nullptr)
        return SOAP_OK;
    return soap_register_plugin_arg(soap, CreateHook, &requestFlags);
}

TransportState* FindTransport(struct soap* soap)
{
    return static_cast<TransportState*>(soap_lookup_plugin(soap, transportPluginId));
}
