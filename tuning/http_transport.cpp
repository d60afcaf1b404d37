// The transport's plug-in, the same on every platform. The SOAP layer hands over its header
// lines and its body; the plug-in keeps the header lines by one rule, collects the body until
// it is complete, and has the platform's backend send both in one POST and hand the answer's
// body back to the SOAP layer.
#include "tuning/http_transport.h"
#include "tuning/http_transport_backend.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t maximumHeaderLine = 4096;

// A time-out of the context in milliseconds: positive values are seconds, negative ones the
// runtime's way of giving microseconds, 0 means the default.
long TimeoutMilliseconds(int contextValue, int defaultSeconds)
{
    if (contextValue > 0)
        return contextValue * 1000L;
    if (contextValue < 0)
        return std::max(1L, -static_cast<long>(contextValue) / 1000L);
    return defaultSeconds * 1000L;
}

// Header names compare without regard to case.
bool SameName(const std::string& name, const char* other)
{
    const std::size_t length = std::strlen(other);
    if (name.size() != length)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(other[i])))
            return false;
    return true;
}

// Whether the context's HTTP Basic credentials may go out: both present and together below
// the length limit.
bool MaySendCredentials(const struct soap* soap)
{
    if (soap->userid == nullptr || soap->passwd == nullptr)
        return false;
    return std::strlen(soap->userid) + std::strlen(soap->passwd) < credentialsLengthLimit;
}

} // namespace

CallOptions CallOptionsOf(const struct soap* soap, const char* url)
{
    CallOptions options;
    options.url = url;
    if (soap->proxy_host != nullptr && soap->proxy_host[0] != '\0') {
        options.proxyHost = soap->proxy_host;
        options.proxyPort = soap->proxy_port;
    }
    options.connectMilliseconds = TimeoutMilliseconds(soap->connect_timeout, defaultConnectTimeout);
    options.totalMilliseconds = TimeoutMilliseconds(soap->transfer_timeout, defaultTotalTimeout);
    options.keepAlive = (soap->omode & SOAP_IO_KEEPALIVE) != 0;
    return options;
}

int FailCall(struct soap* soap, int code, const std::string& reason, const std::string& detail)
{
    soap_set_receiver_error(soap, soap_strdup(soap, reason.c_str()), soap_strdup(soap, detail.c_str()), code);
    return code;
}

TransportState::TransportState() = default;
TransportState::~TransportState() = default;

// The context's hooks and the plug-in's set-up.
struct TransportPlugin
{
    static TransportState* StateOf(struct soap* soap) { return FindTransport(soap); }

    // Forgets the collected body and its announced length.
    static void ForgetBody(TransportState* state)
    {
        state->ownBuffer.clear();
        state->ownBuffer.shrink_to_fit();
        state->sendBuffer = nullptr;
        state->bufferedLength = 0;
        state->expectedLengthKnown = false;
        state->expectedLength = 0;
    }

    // Ends the call once it is over, dropped, or its connection closed, and forgets
    // everything collected for it. Whether a call is open.
    static bool HaveConnection(struct soap* soap, TransportState* state)
    {
        if (state->disconnectPending || !state->requestOpen || state->backend->ConnectionClosed()) {
            state->backend->Close();
            state->requestOpen = false;
            soap->socket = SOAP_INVALID_SOCKET;
        }
        state->disconnectPending = false;
        if (!state->requestOpen) {
            ForgetBody(state);
            state->headers.clear();
            state->requestSent = false;
        }
        return state->requestOpen;
    }

    // Sends the collected body once, freeing the transport's copy afterwards. An answer whose
    // status is neither success nor a fault fails the call.
    static int SendCollected(struct soap* soap, TransportState* state)
    {
        const char* body = state->sendBuffer != nullptr ? state->sendBuffer : "";
        std::size_t length = state->bufferedLength;
        // The SOAP layer ends its document with CR LF and counts it; the envelope ends at '>'.
        if (length >= 3 && body[length - 2] == '\r' && body[length - 1] == '\n' && body[length - 3] == '>')
            length -= 2;
        for (auto& [name, value] : state->headers)
            if (SameName(name, "Content-Length"))
                value = std::to_string(length); // the length of what goes out
        state->requestSent = true;
        int result = state->backend->Send(soap, state->headers, body, length, state->figures.status);
        ForgetBody(state);
        const long status = state->figures.status;
        // 200 carries the answer, 500 a fault; anything else (401, 407, redirects) fails the
        // call, whatever body came with it.
        if (result == SOAP_OK && (status < 200 || status > 299) && status != 500)
            result = FailCall(soap, status > 0 && status < 1000 ? static_cast<int>(status) : SOAP_HTTP_ERROR,
                              "HTTP error", "the server answered with status " + std::to_string(status));
        if (result != SOAP_OK)
            state->disconnectPending = true; // a failed call has no answer to read
        return result;
    }

    // Takes one piece of the body of an open request; sends the body once the announced
    // length is there.
    static int CollectBody(struct soap* soap, TransportState* state, const char* bytes, std::size_t length)
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
            return SendCollected(soap, state);
        }
        try {
            state->ownBuffer.append(bytes, length);
        } catch (const std::bad_alloc&) {
            return FailCall(soap, SOAP_EOM, "Out of memory", "the request body");
        }
        state->figures.bytesCopied += length;
        state->sendBuffer = state->ownBuffer.data();
        state->bufferedLength = state->ownBuffer.size();
        if (state->expectedLengthKnown && state->bufferedLength >= state->expectedLength)
            return SendCollected(soap, state);
        return SOAP_OK;
    }

    static SOAP_SOCKET OpenHook(struct soap* soap, const char* endpoint, const char*, int)
    {
        soap->error = SOAP_OK;
        TransportState* state = StateOf(soap);
        if (state == nullptr) {
            FailCall(soap, SOAP_PLUGIN_ERROR, "HTTP transport error", "the transport is not registered on this context");
            return SOAP_INVALID_SOCKET;
        }
        state->disconnectPending = true;
        HaveConnection(soap, state);

        EndPoint parts;
        if (endpoint == nullptr || !state->backend->Split(soap, endpoint, parts)) {
            FailCall(soap, SOAP_TCP_ERROR, "Invalid end point", std::string("cannot use the address ") + (endpoint ? endpoint : "(none)"));
            return SOAP_INVALID_SOCKET;
        }
        // The Host line names the port whenever it is not 80, as the SOAP layer's rule says;
        // the layer itself cannot tell the HTTPS port without its own TLS.
        state->hostHeader = parts.host;
        if (parts.port != "80")
            state->hostHeader += ":" + parts.port;

        const SOAP_SOCKET socket = state->backend->Open(soap, CallOptionsOf(soap, endpoint));
        if (socket == SOAP_INVALID_SOCKET)
            return SOAP_INVALID_SOCKET;
        state->requestOpen = true;
        state->requestSent = false;
        state->figures.status = 0;
        soap->socket = socket;
        return socket;
    }

    // The header lines by one rule: the first line of a name stands, whatever case a later
    // one is written in; Host names the end point, User-Agent is the transport's own,
    // Authorization goes out only when the credentials may, and Content-Length is written
    // with the length that goes out.
    static int PostHeaderHook(struct soap* soap, const char* name, const char* value)
    {
        soap->error = SOAP_OK;
        TransportState* state = StateOf(soap);
        if (state == nullptr || !HaveConnection(soap, state))
            return SOAP_EOF;
        if (name != nullptr && value == nullptr) {
            // The request line: the HTTP client writes its own from the end point.
            state->headers.clear();
            state->expectedLengthKnown = false;
            state->sendBuffer = nullptr;
            state->chunkedOutput = (soap->omode & SOAP_IO) == SOAP_IO_CHUNK;
            return SOAP_OK;
        }
        if (name == nullptr)
            return SOAP_OK;
        const std::string header = name;
        std::string text = value;
        if (SameName(header, "Content-Length")) {
            state->expectedLength = std::strtoul(text.c_str(), nullptr, 10);
            state->expectedLengthKnown = true;
        } else if (SameName(header, "Host")) {
            text = state->hostHeader;
        } else if (SameName(header, "User-Agent")) {
            text = userAgent;
        } else if (SameName(header, "Authorization") && !MaySendCredentials(soap)) {
            return SOAP_OK;
        }
        if (header.size() + text.size() + 4 >= maximumHeaderLine)
            return FailCall(soap, SOAP_EOM, "Header line too long", header);
        for (const auto& given : state->headers)
            if (SameName(given.first, name))
                return SOAP_OK; // present already: the first one stands
        state->headers.emplace_back(header, text);
        return SOAP_OK;
    }

    static int SendHook(struct soap* soap, const char* bytes, std::size_t length)
    {
        soap->error = SOAP_OK;
        TransportState* state = StateOf(soap);
        if (state == nullptr || !HaveConnection(soap, state))
            return SOAP_EOF;
        return CollectBody(soap, state, bytes, length);
    }

    static std::size_t ReceiveHook(struct soap* soap, char* buffer, std::size_t size)
    {
        soap->error = SOAP_OK;
        TransportState* state = StateOf(soap);
        if (state == nullptr || !state->requestOpen || state->disconnectPending)
            return 0;
        if (!state->requestSent) {
            // The body never reached its announced length (or none was announced): send what there is.
            if (SendCollected(soap, state) != SOAP_OK)
                return 0;
        }
        std::size_t count = 0;
        if (!state->backend->Read(soap, buffer, size, count)) {
            // A broken answer is no answer: the SOAP layer must not parse what came before.
            state->disconnectPending = true;
            return 0;
        }
        return count;
    }

    static int CloseHook(struct soap* soap)
    {
        // The error of the call is kept: closing is not part of what failed or succeeded.
        // A context whose copy was refused has the hooks but not the state.
        if (TransportState* state = StateOf(soap)) {
            state->disconnectPending = true;
            HaveConnection(soap, state);
        }
        soap->socket = SOAP_INVALID_SOCKET;
        return SOAP_OK;
    }

    static int CloseSocketHook(struct soap*, SOAP_SOCKET)
    {
        return SOAP_OK; // what the context holds as its socket belongs to the backend
    }

    static int CopyHook(struct soap*, struct soap_plugin*, struct soap_plugin*)
    {
        return SOAP_FATAL_ERROR;
    }

    static void DeleteHook(struct soap* soap, struct soap_plugin* plugin)
    {
        auto* state = static_cast<TransportState*>(plugin->data);
        state->disconnectPending = true;
        HaveConnection(soap, state);
        delete state; // its backend lets go of the platform's handles
        plugin->data = nullptr;
    }

    // Makes the transport's state and its backend and takes over the context's connection hooks.
    static int Create(struct soap* soap, struct soap_plugin* plugin, void* requestFlags)
    {
        auto* state = new (std::nothrow) TransportState;
        if (state == nullptr)
            return SOAP_EOM;
        state->backend =
            MakeTransportBackend(soap, *state, state->figures, *static_cast<unsigned long*>(requestFlags));
        if (state->backend == nullptr) {
            delete state;
            return SOAP_EOM;
        }
        plugin->id = transportPluginId;
        plugin->data = state;
        plugin->fcopy = CopyHook;
        plugin->fdelete = DeleteHook;
        soap->fopen = OpenHook;
        soap->fposthdr = PostHeaderHook;
        soap->fsend = SendHook;
        soap->frecv = ReceiveHook;
        soap->fclose = CloseHook;
        soap->fclosesocket = CloseSocketHook;
        soap->socket = SOAP_INVALID_SOCKET;
        return SOAP_OK;
    }
};

int RegisterTransport(struct soap* soap, unsigned long requestFlags)
{
    if (FindTransport(soap) != nullptr)
        return SOAP_OK; // one transport per context
    return soap_register_plugin_arg(soap, TransportPlugin::Create, &requestFlags);
}

TransportState* FindTransport(struct soap* soap)
{
    return static_cast<TransportState*>(soap_lookup_plugin(soap, transportPluginId));
}
