#include "tuning/http_transport_shared.h"

#include <cstring>
#include <new>

int FailCall(struct soap* soap, int code, const std::string& reason, const std::string& detail)
{
    soap_set_receiver_error(soap, soap_strdup(soap, reason.c_str()), soap_strdup(soap, detail.c_str()), code);
    return code;
}

bool MaySendCredentials(const struct soap* soap)
{
    if (soap->userid == nullptr || soap->passwd == nullptr)
        return false;
    return std::strlen(soap->userid) + std::strlen(soap->passwd) < credentialsLengthLimit;
}

void ForgetBody(TransportState* state)
{
    state->ownBuffer.clear();
    state->ownBuffer.shrink_to_fit();
    state->sendBuffer = nullptr;
    state->bufferedLength = 0;
    state->expectedLengthKnown = false;
    state->expectedLength = 0;
}

int CollectBody(struct soap* soap, TransportState* state, const char* bytes, std::size_t length,
                int (*sendCollected)(struct soap* soap, TransportState* state))
{
    if (length == 0)
        return SOAP_OK;
    if (state->requestSent)
        return FailCall(soap, SOAP_HTTP_ERROR, "HTTP transport error", "more body after the request was sent");
    if (state->chunkedOutput)
        return FailCall(soap, SOAP_HTTP_ERROR, "HTTP transport error", "chunked output is not supported");
    if (state->bufferedLength == 0 && state->expectedLengthKnown && length == state->expectedLength) {
        // The whole body in one piece: send the SOAP layer's bytes as they are.
        state->sendBuffer = bytes;
        state->bufferedLength = length;
        return sendCollected(soap, state);
    }
    try {
        state->ownBuffer.append(bytes, length);
    } catch (const std::bad_alloc&) {
        return FailCall(soap, SOAP_EOM, "Out of memory", "the request body");
    }
    state->bytesCopied += length;
    state->sendBuffer = state->ownBuffer.data();
    state->bufferedLength = state->ownBuffer.size();
    if (state->expectedLengthKnown && state->bufferedLength >= state->expectedLength)
        return sendCollected(soap, state);
    return SOAP_OK;
}

int RegisterTransport(struct soap* soap, unsigned long requestFlags)
{
    if (FindTransport(soap) != nullptr)
        return SOAP_OK; // one transport per context
    return soap_register_plugin_arg(soap, CreateTransport, &requestFlags);
}

TransportState* FindTransport(struct soap* soap)
{
    return static_cast<TransportState*>(soap_lookup_plugin(soap, transportPluginId));
}
