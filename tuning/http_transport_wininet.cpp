// The transport's backend over WinInet. The platform does the TLS, the certificate checks, the
// system's proxy settings and the dialogs for certificate and credential problems; each call
// is one POST on a connection of its own, its answer's body read as the SOAP layer asks.
#include "tuning/http_transport_backend.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

const char* const transportPluginId = "wininet-2.0";

namespace {

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

void SetTimeout(HINTERNET handle, DWORD option, long milliseconds)
{
    DWORD value = static_cast<DWORD>(milliseconds);
    InternetSetOptionA(handle, option, &value, sizeof value); // a refused option leaves the default
}

bool IsResolvable(DWORD error)
{
    for (DWORD candidate : resolvableErrors)
        if (candidate == error)
            return true;
    return false;
}

class WinInetBackend final : public TransportBackend
{
public:
    WinInetBackend(const TransportState& owner, TransportFigures& figures, unsigned long requestFlags)
        : owner(owner), figures(figures), requestFlags(static_cast<DWORD>(requestFlags))
    {
    }

    ~WinInetBackend() override
    {
        Close();
        CloseInternetHandle();
    }

    // The Internet handle for the proxy (host and port): the system's settings when there is none.
    bool UseProxy(struct soap* soap, const std::string& proxyHost, int proxyPort)
    {
        const std::string proxy = proxyHost.empty() ? std::string() : proxyHost + ":" + std::to_string(proxyPort);
        if (internet != nullptr && proxy == proxyInUse)
            return true;
        CloseInternetHandle();
        // The user's own proxy carries every address, so there is no bypass list.
        internet = proxy.empty() ? InternetOpenA("gSOAP", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)
                                 : InternetOpenA("gSOAP", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), "", 0);
        proxyInUse = proxy;
        if (internet == nullptr) {
            soap->errnum = static_cast<int>(GetLastError());
            return false;
        }
        InternetSetStatusCallback(internet, StatusCallback);
        return true;
    }

    bool Split(struct soap* soap, const char* endpoint, EndPoint& parts) override
    {
        char scheme[16] = "";
        char host[maximumUrlPart] = "";
        char path[maximumUrlPart] = "";
        char extra[maximumUrlPart] = "";
        URL_COMPONENTSA split{};
        split.dwStructSize = sizeof split;
        split.lpszScheme = scheme;
        split.dwSchemeLength = sizeof scheme;
        split.lpszHostName = host;
        split.dwHostNameLength = sizeof host;
        split.lpszUrlPath = path;
        split.dwUrlPathLength = sizeof path;
        split.lpszExtraInfo = extra;
        split.dwExtraInfoLength = sizeof extra;
        if (endpoint[0] == '\0' || !InternetCrackUrlA(endpoint, 0, 0, &split) ||
            (split.nScheme != INTERNET_SCHEME_HTTPS && split.nScheme != INTERNET_SCHEME_HTTP) || host[0] == '\0' ||
            std::strlen(path) + std::strlen(extra) >= maximumUrlPart) {
            soap->errnum = static_cast<int>(GetLastError());
            return false;
        }
        parts.host = host;
        parts.port = std::to_string(split.nPort);
        target.host = host;
        target.port = split.nPort;
        target.secure = split.nScheme == INTERNET_SCHEME_HTTPS;
        target.path = std::string(path[0] != '\0' ? path : "/") + extra; // the "?wsdl" travels too
        return true;
    }

    SOAP_SOCKET Open(struct soap* soap, const CallOptions& options) override
    {
        if (!UseProxy(soap, options.proxyHost, options.proxyPort)) {
            FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", static_cast<DWORD>(soap->errnum));
            return SOAP_INVALID_SOCKET;
        }
        SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, options.connectMilliseconds);

        const auto context = reinterpret_cast<DWORD_PTR>(this);
        connection = InternetConnectA(internet, target.host.c_str(), target.port, "", "", INTERNET_SERVICE_HTTP, 0, context);
        if (connection == nullptr) {
            FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", GetLastError());
            return SOAP_INVALID_SOCKET;
        }
        // No redirect is followed and nothing comes from or goes to the cache: every call
        // reaches the end point itself.
        DWORD flags = requestFlags | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;
        if (options.keepAlive)
            flags |= INTERNET_FLAG_KEEP_CONNECTION;
        if (target.secure)
            flags |= INTERNET_FLAG_SECURE;
        request = HttpOpenRequestA(connection, "POST", target.path.c_str(), "HTTP/1.1", nullptr, nullptr, flags, context);
        if (request == nullptr) {
            const DWORD error = GetLastError();
            Close();
            FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", error);
            return SOAP_INVALID_SOCKET;
        }
        // WinInet has no time-out for a whole call: each send and each read may take as long
        // as the whole call may.
        SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, options.totalMilliseconds);
        SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, options.totalMilliseconds);
        ++figures.connectionsOpened;
        answered = false;
        return reinterpret_cast<SOAP_SOCKET>(request);
    }

    int Send(struct soap* soap, const HeaderList& headers, const char* body, std::size_t length, long& status) override
    {
        for (const auto& [name, value] : headers) {
            // The platform writes Host from the end point (without its own TLS the runtime
            // takes an HTTPS end point's port for 80) and Content-Length from the body.
            if (_stricmp(name.c_str(), "Host") == 0 || _stricmp(name.c_str(), "Content-Length") == 0)
                continue;
            const std::string line = name + ": " + value + "\r\n";
            if (!HttpAddRequestHeadersA(request, line.c_str(), static_cast<DWORD>(line.size()), HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
                const DWORD error = GetLastError();
                if (error != ERROR_HTTP_HEADER_ALREADY_EXISTS)
                    soap->errnum = static_cast<int>(error); // a line the platform refuses is left out
            }
        }
        for (int attempt = 0;; ++attempt) {
            connectionClosed = false;
            ++figures.requestsSent;
            if (!HttpSendRequestA(request, nullptr, 0, const_cast<char*>(body), static_cast<DWORD>(length))) {
                const DWORD error = GetLastError();
                FailWithPlatformError(soap, SOAP_HTTP_ERROR, "HTTP transport error", error);
                if (attempt < maximumRetries && IsResolvable(error) && UserResolves(soap, error, false)) {
                    ++figures.retriesAsked;
                    continue;
                }
                return SOAP_HTTP_ERROR;
            }
            DWORD answer = 0;
            DWORD size = sizeof answer;
            if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &answer, &size, nullptr))
                return FailWithPlatformError(soap, SOAP_HTTP_ERROR, "HTTP transport error", GetLastError());
            status = static_cast<long>(answer);
            if ((answer == HTTP_STATUS_DENIED || answer == HTTP_STATUS_PROXY_AUTH_REQ) && attempt < maximumRetries &&
                UserResolves(soap, answer, true)) {
                ++figures.retriesAsked;
                continue;
            }
            return SOAP_OK;
        }
    }

    bool Read(struct soap* soap, char* buffer, std::size_t size, std::size_t& count) override
    {
        count = 0;
        while (count < size) {
            DWORD read = 0;
            const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size - count, 1u << 20));
            if (!InternetReadFile(request, buffer + count, wanted, &read)) {
                FailWithPlatformError(soap, SOAP_TCP_ERROR, "HTTP transport error", GetLastError());
                count = 0;
                return false;
            }
            if (read == 0)
                break;
            count += read;
        }
        if (count == 0 && !answered) {
            // WinInet takes a connection closed without any answer for an old-style answer
            // with status 200 and no body; the call must not pass for answered.
            FailCall(soap, SOAP_HTTP_ERROR, "HTTP transport error", "the server closed the connection without answering");
            return false;
        }
        answered = true;
        return true;
    }

    void Close() override
    {
        if (request != nullptr)
            InternetCloseHandle(request);
        request = nullptr;
        if (connection != nullptr)
            InternetCloseHandle(connection);
        connection = nullptr;
        connectionClosed = false; // closing the handles may have said so
    }

    bool ConnectionClosed() const override { return connectionClosed; }

private:
    static void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD)
    {
        if (status != INTERNET_STATUS_CONNECTION_CLOSED || context == 0)
            return;
        auto* backend = reinterpret_cast<WinInetBackend*>(context);
        if (backend->connection != nullptr)
            backend->connectionClosed = true;
    }

    void CloseInternetHandle()
    {
        if (internet != nullptr) {
            InternetSetStatusCallback(internet, nullptr);
            InternetCloseHandle(internet);
        }
        internet = nullptr;
    }

    // What to do about a failed send or an authentication answer: true sends again.
    bool UserResolves(struct soap* soap, DWORD code, bool forStatus)
    {
        int answer = 2;
        if (owner.errorHandler != nullptr)
            answer = owner.errorHandler(soap, request, code);
        if (answer == 2) {
            // The dialog belongs to the window the user is looking at (the progress dialog of
            // the exchange): without an owner wine shows none, and on Windows it could open
            // behind the program's modal window.
            HWND window = GetActiveWindow();
            if (window == nullptr)
                window = GetDesktopWindow();
            const DWORD dialogError = forStatus ? ERROR_INTERNET_INCORRECT_PASSWORD : code;
            const DWORD result = InternetErrorDlg(window, request, dialogError, dialogFlags, nullptr);
            if (dialogError == ERROR_INTERNET_INCORRECT_PASSWORD)
                return result == ERROR_INTERNET_FORCE_RETRY;
            return result == ERROR_SUCCESS; // the user accepted the certificate or the redirect
        }
        return answer == 1;
    }

    // The end point Split accepted last.
    struct Target
    {
        std::string host;
        INTERNET_PORT port = 0;
        bool secure = false;
        std::string path; // with the query
    };

    const TransportState& owner;
    TransportFigures& figures;
    const DWORD requestFlags; // extra flags given at registration
    HINTERNET internet = nullptr;
    std::string proxyInUse; // "host:port" the handle was opened for, empty when the system's settings apply
    Target target;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    bool connectionClosed = false; // the platform said so while a call was open
    bool answered = false;         // some of the answer's body has been read
};

} // namespace

std::unique_ptr<TransportBackend> MakeTransportBackend(struct soap* soap, const TransportState& owner,
                                                       TransportFigures& figures, unsigned long requestFlags)
{
    std::unique_ptr<WinInetBackend> backend(new (std::nothrow) WinInetBackend(owner, figures, requestFlags));
    if (backend == nullptr)
        return nullptr;
    // The handle for the proxy the context names at registration, which its calls are likely to keep.
    const CallOptions options = CallOptionsOf(soap, "");
    if (!backend->UseProxy(soap, options.proxyHost, options.proxyPort))
        return nullptr;
    return backend;
}
