// The HTTPS transport over WinInet. The platform does the TLS, the certificate checks, the
// system's proxy settings and the dialogs for certificate and credential problems; the
// transport hands it the SOAP layer's header lines and the complete body in one POST per
// call, on a connection of its own, and hands the answer's body back to the SOAP layer.
#include "tuning/http_transport.h"
#include "tuning/http_transport_shared.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <string>

const char* const transportPluginId = "wininet-2.0";

namespace {

constexpr std::size_t maximumHeaderLine = 4096;
constexpr std::size_t maximumUrlPart = 260;
// A dialog or error handler that keeps asking to send again is not resolving anything.
constexpr int maximumRetries = 8;

// The send errors a user may resolve in the platform's dialog.
constexpr DWORD resolvableErrors[] = {
    ERROR_INTERNET_INCORRECT_PASSWORD,       // 12014
    ERROR_INTERNET_SEC_CERT_DATE_INVALID,    // 12037
    ERROR_INTERNET_SEC_CERT_CN_INVALID,      // 12038
    ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR,   // 12039
    ERROR_INTERNET_POST_IS_NON_SECURE,       // 12043
    ERROR_INTERNET_INVALID_CA,               // 12045
};

constexpr DWORD dialogFlags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                              FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

TransportState* StateOf(struct soap* soap)
{
    return FindTransport(soap);
}

std::string PlatformMessage(DWORD code)
{
    char text[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleA("wininet.dll"), code, 0, text, sizeof text, nullptr);
    if (length == 0)
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}

// The platform's code stays in errnum.
int FailWithPlatformError(struct soap* soap, int code, const std::string& reason, DWORD platformError)
{
    soap->errnum = static_cast<int>(platformError);
    return FailCall(soap, code, reason, PlatformMessage(platformError));
}

void CloseRequest(struct soap* soap, TransportState* state)
{
    if (state->requestHandle != nullptr)
        InternetCloseHandle(static_cast<HINTERNET>(state->requestHandle));
    state->requestHandle = nullptr;
    soap->socket = SOAP_INVALID_SOCKET;
}

// Drops the request and connection once the platform or the close hook said they are done.
bool HaveConnection(struct soap* soap, TransportState* state)
{
    if (state->disconnectPending || state->connectionHandle == nullptr)
        CloseRequest(soap, state);
    if (state->requestHandle == nullptr && state->connectionHandle != nullptr) {
        InternetCloseHandle(static_cast<HINTERNET>(state->connectionHandle));
        state->connectionHandle = nullptr;
    }
    state->disconnectPending = false;
    if (state->requestHandle == nullptr) {
        ForgetBody(state);
        state->requestSent = false;
    }
    return state->connectionHandle != nullptr;
}

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD)
{
    if (status != INTERNET_STATUS_CONNECTION_CLOSED || context == 0)
        return;
    TransportState* state = StateOf(reinterpret_cast<struct soap*>(context));
    if (state != nullptr && state->connectionHandle != nullptr)
        state->disconnectPending = true;
}

// The Internet handle for the context's proxy: the system's settings when it names none.
bool OpenInternetHandle(struct soap* soap, TransportState* state)
{
    const std::string proxy = soap->proxy_host != nullptr && soap->proxy_host[0] != '\0'
                                  ? std::string(soap->proxy_host) + ":" + std::to_string(soap->proxy_port)
                                  : std::string();
    if (state->internetHandle != nullptr && proxy == state->proxyInUse)
        return true;
    if (state->internetHandle != nullptr) {
        InternetSetStatusCallback(static_cast<HINTERNET>(state->internetHandle), nullptr);
        InternetCloseHandle(static_cast<HINTERNET>(state->internetHandle));
    }
    // The user's own proxy carries every address, so there is no bypass list.
    HINTERNET handle = proxy.empty() ? InternetOpenA("gSOAP", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)
                                     : InternetOpenA("gSOAP", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), "", 0);
    state->internetHandle = handle;
    state->proxyInUse = proxy;
    if (handle == nullptr) {
        soap->errnum = static_cast<int>(GetLastError());
        return false;
    }
    InternetSetStatusCallback(handle, StatusCallback);
    return true;
}

void SetTimeout(HINTERNET handle, DWORD option, long milliseconds)
{
    DWORD value = static_cast<DWORD>(milliseconds);
    InternetSetOptionA(handle, option, &value, sizeof value); // a refused option leaves the default
}

SOAP_SOCKET OpenHook(struct soap* soap, const char* endpoint, const char*, int)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (state == nullptr) {
        FailCall(soap, SOAP_PLUGIN_ERROR, "HTTP transport error", "the transport is not registered on this context");
        return SOAP_INVALID_SOCKET;
    }
    state->disconnectPending = true;
    HaveConnection(soap, state);

    char scheme[16] = "";
    char host[maximumUrlPart] = "";
    char path[maximumUrlPart] = "";
    char extra[maximumUrlPart] = "";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = sizeof scheme;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    const bool split = endpoint != nullptr && endpoint[0] != '\0' && InternetCrackUrlA(endpoint, 0, 0, &parts) &&
                       (parts.nScheme == INTERNET_SCHEME_HTTPS || parts.nScheme == INTERNET_SCHEME_HTTP) &&
                       host[0] != '\0' && std::strlen(path) + std::strlen(extra) < maximumUrlPart;
    if (!split) {
        soap->errnum = static_cast<int>(GetLastError());
        FailCall(soap, SOAP_TCP_ERROR, "Invalid end point", std::string("cannot use the address ") + (endpoint ? endpoint : "(none)"));
        return SOAP_INVALID_SOCKET;
    }
    const std::string target = std::string(path[0] != '\0' ? path : "/") + extra; // the "?wsdl" travels too

    if (!OpenInternetHandle(soap, state)) {
        FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", static_cast<DWORD>(soap->errnum));
        return SOAP_INVALID_SOCKET;
    }
    auto* internet = static_cast<HINTERNET>(state->internetHandle);
    SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, TimeoutMilliseconds(soap->connect_timeout, defaultConnectTimeout));

    HINTERNET connection = InternetConnectA(internet, host, parts.nPort, "", "", INTERNET_SERVICE_HTTP, 0,
                                            reinterpret_cast<DWORD_PTR>(soap));
    if (connection == nullptr) {
        FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", GetLastError());
        return SOAP_INVALID_SOCKET;
    }
    // No redirect is followed and nothing comes from or goes to the cache: every call reaches
    // the end point itself.
    DWORD flags = static_cast<DWORD>(state->requestFlags) | INTERNET_FLAG_NO_AUTO_REDIRECT |
                  INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;
    if (soap->omode & SOAP_IO_KEEPALIVE)
        flags |= INTERNET_FLAG_KEEP_CONNECTION;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS)
        flags |= INTERNET_FLAG_SECURE;
    HINTERNET request = HttpOpenRequestA(connection, "POST", target.c_str(), "HTTP/1.1", nullptr, nullptr, flags,
                                         reinterpret_cast<DWORD_PTR>(soap));
    if (request == nullptr) {
        const DWORD error = GetLastError();
        InternetCloseHandle(connection);
        FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", error);
        return SOAP_INVALID_SOCKET;
    }
    // WinInet has no time-out for a whole call: each send and each read may take as long as
    // the whole call may.
    const long total = TimeoutMilliseconds(soap->transfer_timeout, defaultTotalTimeout);
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, total);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, total);
    ++state->connectionsOpened;
    state->connectionHandle = connection;
    state->requestHandle = request;
    state->requestSent = false;
    state->responseOffset = 0;
    state->status = 0;
    soap->socket = reinterpret_cast<SOAP_SOCKET>(request);
    return soap->socket;
}

int PostHeaderHook(struct soap* soap, const char* name, const char* value)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (state == nullptr || !HaveConnection(soap, state))
        return SOAP_EOF;
    if (name != nullptr && value == nullptr) {
        // The request line: the platform writes its own from the open step.
        state->expectedLengthKnown = false;
        state->sendBuffer = nullptr;
        state->chunkedOutput = (soap->omode & SOAP_IO) == SOAP_IO_CHUNK;
        return SOAP_OK;
    }
    if (name == nullptr)
        return SOAP_OK;
    if (_stricmp(name, "Content-Length") == 0) {
        // The platform writes the length of the body it sends, which drops the runtime's
        // closing CR LF.
        state->expectedLength = std::strtoul(value, nullptr, 10);
        state->expectedLengthKnown = true;
        return SOAP_OK;
    }
    // The platform writes Host from the end point: without its own TLS the runtime takes an
    // HTTPS end point's port for 80 and would name the wrong one.
    if (_stricmp(name, "Host") == 0)
        return SOAP_OK;
    if (_stricmp(name, "User-Agent") == 0)
        value = userAgent;
    if (_stricmp(name, "Authorization") == 0 && !MaySendCredentials(soap))
        return SOAP_OK;
    char line[maximumHeaderLine];
    const int length = std::snprintf(line, sizeof line, "%s: %s\r\n", name, value);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof line)
        return FailCall(soap, SOAP_EOM, "Header line too long", name);
    if (!HttpAddRequestHeadersA(static_cast<HINTERNET>(state->requestHandle), line, static_cast<DWORD>(length),
                                HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HTTP_HEADER_ALREADY_EXISTS)
            soap->errnum = static_cast<int>(error); // a line the platform refuses is left out
    }
    return SOAP_OK;
}

// What to do about a failed send or an authentication answer: true sends again.
bool UserResolves(struct soap* soap, TransportState* state, DWORD code, bool forStatus)
{
    int answer = 2;
    if (state->errorHandler != nullptr)
        answer = state->errorHandler(soap, state->requestHandle, code);
    if (answer == 2) {
        // The dialog belongs to the window the user is looking at (the progress dialog of
        // the exchange): without an owner wine shows none, and on Windows it could open
        // behind the program's modal window.
        HWND owner = GetActiveWindow();
        if (owner == nullptr)
            owner = GetDesktopWindow();
        const DWORD dialogError = forStatus ? ERROR_INTERNET_INCORRECT_PASSWORD : code;
        const DWORD result = InternetErrorDlg(owner, static_cast<HINTERNET>(state->requestHandle), dialogError,
                                              dialogFlags, nullptr);
        if (dialogError == ERROR_INTERNET_INCORRECT_PASSWORD)
            return result == ERROR_INTERNET_FORCE_RETRY;
        return result == ERROR_SUCCESS; // the user accepted the certificate or the redirect
    }
    return answer == 1;
}

bool IsResolvable(DWORD error)
{
    for (DWORD candidate : resolvableErrors)
        if (candidate == error)
            return true;
    return false;
}

int SendLoop(struct soap* soap, TransportState* state, const char* body, DWORD length)
{
    auto* request = static_cast<HINTERNET>(state->requestHandle);
    for (int attempt = 0;; ++attempt) {
        state->disconnectPending = false;
        ++state->requestsSent;
        if (!HttpSendRequestA(request, nullptr, 0, const_cast<char*>(body), length)) {
            const DWORD error = GetLastError();
            FailWithPlatformError(soap, SOAP_HTTP_ERROR, "HTTP transport error", error);
            if (attempt < maximumRetries && IsResolvable(error) && UserResolves(soap, state, error, false)) {
                ++state->retriesAsked;
                continue;
            }
            return SOAP_HTTP_ERROR;
        }
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            return FailWithPlatformError(soap, SOAP_HTTP_ERROR, "HTTP transport error", GetLastError());
        state->status = static_cast<long>(status);
        if ((status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ) && attempt < maximumRetries &&
            UserResolves(soap, state, status, true)) {
            ++state->retriesAsked;
            continue;
        }
        break;
    }
    // 200 carries the answer, 500 a fault; anything else (401, 407 not resolved, redirects)
    // fails the call, whatever body came with it.
    if ((state->status < 200 || state->status > 299) && state->status != 500)
        return FailCall(soap, static_cast<int>(state->status), "HTTP error",
                    "the server answered with status " + std::to_string(state->status));
    return SOAP_OK;
}

// Sends the collected body once, freeing the transport's copy afterwards.
int SendCollected(struct soap* soap, TransportState* state)
{
    const char* body = state->sendBuffer != nullptr ? state->sendBuffer : "";
    std::size_t length = state->bufferedLength;
    // The runtime ends its document with CR LF and counts it; the envelope ends at '>'.
    if (length >= 3 && body[length - 2] == '\r' && body[length - 1] == '\n' && body[length - 3] == '>')
        length -= 2;
    state->requestSent = true;
    const int result = SendLoop(soap, state, body, static_cast<DWORD>(length));
    ForgetBody(state);
    return result;
}

int SendHook(struct soap* soap, const char* bytes, std::size_t length)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (length == 0 && state != nullptr) {
        state->expectedLength = 0;
        state->expectedLengthKnown = true;
    }
    if (state == nullptr || !HaveConnection(soap, state))
        return SOAP_EOF;
    return CollectBody(soap, state, bytes, length, SendCollected);
}

std::size_t ReceiveHook(struct soap* soap, char* buffer, std::size_t size)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (state == nullptr || state->requestHandle == nullptr)
        return 0;
    if (!state->requestSent) {
        // The body never reached its announced length (or none was announced): send what there is.
        if (SendCollected(soap, state) != SOAP_OK)
            return 0;
    }
    std::size_t received = 0;
    while (received < size) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size - received, 1u << 20));
        if (!InternetReadFile(static_cast<HINTERNET>(state->requestHandle), buffer + received, wanted, &read)) {
            // A broken answer is no answer: the SOAP layer must not parse what came before.
            FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", GetLastError());
            CloseRequest(soap, state);
            return 0;
        }
        if (read == 0)
            break;
        received += read;
    }
    if (received == 0 && state->responseOffset == 0) {
        // WinInet takes a connection closed without any answer for an old-style answer with
        // status 200 and no body; the call must not pass for answered.
        FailCall(soap, SOAP_HTTP_ERROR, "HTTP transport error", "the server closed the connection without answering");
        return 0;
    }
    state->responseOffset += received;
    return received;
}

int CloseHook(struct soap* soap)
{
    // The error of the call is kept: closing is not part of what failed or succeeded.
    if (TransportState* state = StateOf(soap)) {
        state->disconnectPending = true;
        HaveConnection(soap, state);
    }
    soap->socket = SOAP_INVALID_SOCKET;
    return SOAP_OK;
}

int CloseSocketHook(struct soap*, SOAP_SOCKET)
{
    return SOAP_OK; // the "socket" is the request handle, closed by the close hook
}

int CopyHook(struct soap*, struct soap_plugin*, struct soap_plugin*)
{
    return SOAP_FATAL_ERROR;
}

void DeleteHook(struct soap* soap, struct soap_plugin* plugin)
{
    auto* state = static_cast<TransportState*>(plugin->data);
    state->disconnectPending = true;
    HaveConnection(soap, state);
    if (state->internetHandle != nullptr) {
        InternetSetStatusCallback(static_cast<HINTERNET>(state->internetHandle), nullptr);
        InternetCloseHandle(static_cast<HINTERNET>(state->internetHandle));
    }
    delete state;
    plugin->data = nullptr;
}

} // namespace

int CreateTransport(struct soap* soap, struct soap_plugin* plugin, void* argument)
{
    auto* state = new (std::nothrow) TransportState;
    if (state == nullptr)
        return SOAP_EOM;
    state->requestFlags = *static_cast<unsigned long*>(argument);
    if (!OpenInternetHandle(soap, state)) {
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
