// The HTTPS transport over libcurl. The SOAP layer hands over its header lines and its body;
// the transport sends exactly those header lines, in that order, with the complete body in
// one POST on a new connection (resuming the TLS session of the context's earlier calls),
// and hands the answer's body back to the SOAP layer.
#include "tuning/http_transport.h"
#include "tuning/http_transport_shared.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>

namespace {

// Answers larger than this are not the service's; stop reading rather than fill memory.
constexpr std::size_t maximumResponseLength = 16u << 20;
constexpr std::size_t maximumHeaderLine = 4096;
constexpr std::size_t maximumUrlLength = 2048;

TransportState* StateOf(struct soap* soap)
{
    return FindTransport(soap);
}

// The request is finished or was dropped: forget it and everything collected for it.
bool HaveConnection(struct soap* soap, TransportState* state)
{
    if (state->disconnectPending || !state->requestOpen) {
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

// Tells, while the answer arrives and the connection is still open, whether its TLS session
// was resumed.
void NoteResumption(CURL* curl, TransportState* state)
{
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
        info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr &&
        SSL_session_reused(static_cast<SSL*>(info->internals)) == 1)
        ++state->sessionsResumed;
}

std::size_t CollectResponse(char* data, std::size_t size, std::size_t count, void* userData)
{
    auto* state = static_cast<TransportState*>(userData);
    const std::size_t length = size * count;
    if (state->response.empty())
        NoteResumption(static_cast<CURL*>(state->internetHandle), state);
    if (state->response.size() + length > maximumResponseLength)
        return 0; // makes libcurl fail the transfer
    state->response.append(data, length);
    return length;
}

bool SslBackendIsOpenSsl()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && info->ssl_version != nullptr && std::strncmp(info->ssl_version, "OpenSSL", 7) == 0;
}

// The trusted certificates: the system's (where libcurl would look) plus PELLORAN_CA_FILE.
// Parsing the system's bundle costs more than a handshake on loopback, so it is done once per
// process and again only when the extra file named changes.
class TrustStore
{
public:
    // A new reference to the store for `extraFile` (may be empty), or null when that file
    // cannot be read. The caller frees it with X509_STORE_free.
    X509_STORE* Acquire(const std::string& extraFile)
    {
        const std::string key = KeyOf(extraFile);
        std::lock_guard<std::mutex> lock(mutex);
        if (!loaded || key != loadedKey) {
            X509_STORE_free(store);
            store = Build(extraFile);
            loadedKey = key;
            loaded = true;
        }
        if (store != nullptr)
            X509_STORE_up_ref(store);
        return store;
    }

private:
    // Name, size and change time: a file rewritten in place is read again.
    static std::string KeyOf(const std::string& file)
    {
        struct stat status {};
        if (file.empty() || stat(file.c_str(), &status) != 0)
            return file;
        return file + '\n' + std::to_string(status.st_ino) + ' ' + std::to_string(status.st_size) + ' ' +
               std::to_string(status.st_mtim.tv_sec) + '.' + std::to_string(status.st_mtim.tv_nsec);
    }

    static X509_STORE* Build(const std::string& extraFile)
    {
        X509_STORE* built = X509_STORE_new();
        if (built == nullptr)
            return nullptr;
        char* systemFile = nullptr;
        char* systemFolder = nullptr;
        if (CURL* probe = curl_easy_init()) {
            curl_easy_getinfo(probe, CURLINFO_CAINFO, &systemFile);
            curl_easy_getinfo(probe, CURLINFO_CAPATH, &systemFolder);
            // The texts are libcurl's built-in defaults and outlive the handle.
            curl_easy_cleanup(probe);
        }
        if (systemFile != nullptr)
            X509_STORE_load_file(built, systemFile);
        if (systemFolder != nullptr)
            X509_STORE_load_path(built, systemFolder);
        ERR_clear_error();
        if (!extraFile.empty() && X509_STORE_load_file(built, extraFile.c_str()) != 1) {
            ERR_clear_error();
            X509_STORE_free(built);
            return nullptr;
        }
        return built;
    }

    std::mutex mutex;
    bool loaded = false;
    std::string loadedKey;
    X509_STORE* store = nullptr;
};

TrustStore& ProcessTrustStore()
{
    static TrustStore* trust = new TrustStore; // never freed: handshakes may run until exit
    return *trust;
}

// Hands the connection the process's trust store instead of one libcurl would parse anew.
CURLcode UseTrustStore(CURL*, void* sslContext, void* store)
{
    if (store == nullptr)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), static_cast<X509_STORE*>(store));
    return CURLE_OK;
}

int SendRequest(struct soap* soap, TransportState* state, const char* body, std::size_t length)
{
    // The SOAP layer ends its document with CR LF and counts it; the envelope ends at '>'.
    if (length >= 3 && body[length - 2] == '\r' && body[length - 1] == '\n' && body[length - 3] == '>')
        length -= 2;

    CURL* curl = static_cast<CURL*>(state->internetHandle);
    curl_easy_reset(curl);

    curl_slist* headerList = nullptr;
    bool headersOk = true;
    for (const auto& [name, value] : state->headers) {
        const std::string line =
            strcasecmp(name.c_str(), "Content-Length") == 0 ? name + ": " + std::to_string(length) : name + ": " + value;
        curl_slist* longer = curl_slist_append(headerList, line.c_str());
        headersOk = headersOk && longer != nullptr;
        if (longer)
            headerList = longer;
    }
    // libcurl's own additions, removed: only the SOAP layer's lines go out.
    for (const char* removal : {"Expect:", "Accept:", "Content-Type:", "Transfer-Encoding:"}) {
        bool given = false;
        const std::string name(removal, std::strlen(removal) - 1);
        for (const auto& header : state->headers)
            given = given || strcasecmp(header.first.c_str(), name.c_str()) == 0;
        if (!given) {
            curl_slist* longer = curl_slist_append(headerList, removal);
            headersOk = headersOk && longer != nullptr;
            if (longer)
                headerList = longer;
        }
    }
    if (!headersOk) {
        curl_slist_free_all(headerList);
        return FailCall(soap, SOAP_EOM, "Out of memory", "the request's header lines");
    }

    char errorText[CURL_ERROR_SIZE] = "";
    state->response.clear();
    state->responseOffset = 0;
    state->status = 0;
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_URL, state->url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectResponse);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, state);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, TimeoutMilliseconds(soap->connect_timeout, defaultConnectTimeout));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, TimeoutMilliseconds(soap->transfer_timeout, defaultTotalTimeout));
    if (!(soap->omode & SOAP_IO_KEEPALIVE)) {
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    }
    if (soap->proxy_host != nullptr && soap->proxy_host[0] != '\0') {
        // The user's own proxy: used for every address, whatever no_proxy says.
        curl_easy_setopt(curl, CURLOPT_PROXY, soap->proxy_host);
        curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(soap->proxy_port));
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    }
    // The calls of one context resume the first call's TLS session, each on its own connection.
    curl_easy_setopt(curl, CURLOPT_SHARE, state->sessionShare);
    const char* caFile = std::getenv(caFileVariable);
    const bool extraTrust = caFile != nullptr && caFile[0] != '\0';
    X509_STORE* trust = nullptr;
    if (SslBackendIsOpenSsl()) {
        trust = ProcessTrustStore().Acquire(extraTrust ? caFile : "");
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, UseTrustStore);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, trust);
    } else if (extraTrust) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
    }

    const CURLcode result = curl_easy_perform(curl);
    X509_STORE_free(trust);
    curl_slist_free_all(headerList);
    curl_off_t connections = 0;
    if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connections) == CURLE_OK)
        state->connectionsOpened += static_cast<unsigned>(connections);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &state->status);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    state->requestSent = true;
    ++state->requestsSent;

    if (result != CURLE_OK) {
        state->response.clear();
        std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        if (result == CURLE_SSL_CACERT_BADFILE && caFile != nullptr)
            detail = std::string("the certificates in ") + caFile + " (" + caFileVariable + ") cannot be read";
        int code = SOAP_HTTP_ERROR;
        switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
            code = SOAP_TCP_ERROR;
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            code = SOAP_SSL_ERROR;
            break;
        default:
            break;
        }
        return FailCall(soap, code, "HTTP transport error", detail + " (" + state->url + ")");
    }
    // 200 carries the answer, 500 a fault; anything else (401, 407, redirects) fails the call.
    if ((state->status < 200 || state->status > 299) && state->status != 500) {
        state->response.clear();
        const int code = state->status > 0 && state->status < 1000 ? static_cast<int>(state->status) : SOAP_HTTP_ERROR;
        return FailCall(soap, code, "HTTP error", "the server answered with status " + std::to_string(state->status));
    }
    return SOAP_OK;
}

// Sends the collected body once, freeing the transport's copy afterwards.
int SendCollected(struct soap* soap, TransportState* state)
{
    const int result = SendRequest(soap, state, state->sendBuffer ? state->sendBuffer : "", state->bufferedLength);
    ForgetBody(state);
    return result;
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

    CURLU* parsed = curl_url();
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    const bool split = parsed != nullptr && endpoint != nullptr && std::strlen(endpoint) < maximumUrlLength &&
                       curl_url_set(parsed, CURLUPART_URL, endpoint, 0) == CURLUE_OK &&
                       curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                       curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                       curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
    const bool supported = split && (std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0);
    if (supported) {
        state->url = endpoint;
        // The Host line names the port whenever it is not 80, as the SOAP layer's rule says;
        // the layer itself cannot tell the HTTPS port without its own TLS.
        state->hostHeader = host;
        if (std::strcmp(port, "80") != 0)
            state->hostHeader += std::string(":") + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    if (!supported) {
        FailCall(soap, SOAP_TCP_ERROR, "Invalid end point", std::string("cannot use the address ") + (endpoint ? endpoint : "(none)"));
        return SOAP_INVALID_SOCKET;
    }
    state->requestOpen = true;
    state->response.clear();
    state->responseOffset = 0;
    return state->placeholderSocket;
}

int PostHeaderHook(struct soap* soap, const char* name, const char* value)
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
    std::string text = value ? value : "";
    if (strcasecmp(name, "Content-Length") == 0) {
        state->expectedLength = std::strtoul(text.c_str(), nullptr, 10);
        state->expectedLengthKnown = true;
    } else if (strcasecmp(name, "Host") == 0) {
        text = state->hostHeader;
    } else if (strcasecmp(name, "User-Agent") == 0) {
        text = userAgent;
    } else if (strcasecmp(name, "Authorization") == 0 && !MaySendCredentials(soap)) {
        return SOAP_OK;
    }
    if (std::strlen(name) + text.size() + 4 >= maximumHeaderLine)
        return FailCall(soap, SOAP_EOM, "Header line too long", name);
    for (const auto& header : state->headers)
        if (strcasecmp(header.first.c_str(), name) == 0)
            return SOAP_OK; // present already: the first one stands
    state->headers.emplace_back(name, text);
    return SOAP_OK;
}

int SendHook(struct soap* soap, const char* bytes, std::size_t length)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (state == nullptr || !HaveConnection(soap, state))
        return SOAP_EOF;
    return CollectBody(soap, state, bytes, length, SendCollected);
}

std::size_t ReceiveHook(struct soap* soap, char* buffer, std::size_t size)
{
    soap->error = SOAP_OK;
    TransportState* state = StateOf(soap);
    if (state == nullptr)
        return 0;
    if (state->requestOpen && !state->requestSent) {
        // The body never reached its announced length (or none was announced): send what there is.
        if (SendCollected(soap, state) != SOAP_OK)
            return 0;
    }
    const std::size_t count = std::min(size, state->response.size() - state->responseOffset);
    std::memcpy(buffer, state->response.data() + state->responseOffset, count);
    state->responseOffset += count;
    return count;
}

int CloseHook(struct soap* soap)
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

int CloseSocketHook(struct soap*, SOAP_SOCKET)
{
    return SOAP_OK; // the placeholder socket belongs to the transport
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
    curl_easy_cleanup(static_cast<CURL*>(state->internetHandle));
    curl_share_cleanup(static_cast<CURLSH*>(state->sessionShare));
    if (state->placeholderSocket >= 0)
        close(state->placeholderSocket);
    delete state;
    plugin->data = nullptr;
}

} // namespace

int CreateTransport(struct soap* soap, struct soap_plugin* plugin, void* argument)
{
    static std::once_flag globalInit;
    std::call_once(globalInit, []() { curl_global_init(CURL_GLOBAL_DEFAULT); });

    auto* state = new (std::nothrow) TransportState;
    if (state == nullptr)
        return SOAP_EOM;
    state->requestFlags = *static_cast<unsigned long*>(argument);
    state->internetHandle = curl_easy_init();
    // The context is used by one thread at a time, so the share needs no locks.
    CURLSH* share = curl_share_init();
    state->sessionShare = share;
    const bool shareSet = share != nullptr && curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    // A real descriptor that reaches nothing: whatever the runtime does with "its socket"
    // (options, polling) stays harmless.
    state->placeholderSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (state->internetHandle == nullptr || !shareSet || state->placeholderSocket < 0) {
        soap->errnum = errno;
        curl_share_cleanup(share);
        curl_easy_cleanup(static_cast<CURL*>(state->internetHandle));
        if (state->placeholderSocket >= 0)
            close(state->placeholderSocket);
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

const char* const transportPluginId = "pelloran-https-1.0";
