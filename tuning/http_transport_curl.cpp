// The transport's backend over libcurl: each call is one POST on a new connection (resuming
// the TLS session of the context's earlier calls), its answer's body collected whole.
#include "tuning/http_transport_backend.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <strings.h>

const char* const transportPluginId = "pelloran-https-1.0";

namespace {

// Answers larger than this are not the service's; stop reading rather than fill memory.
constexpr std::size_t maximumResponseLength = 16u << 20;
constexpr std::size_t maximumUrlLength = 2048;

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

class CurlBackend final : public TransportBackend
{
public:
    explicit CurlBackend(TransportFigures& figures) : figures(figures) {}

    ~CurlBackend() override
    {
        curl_easy_cleanup(curl);
        curl_share_cleanup(share);
        if (placeholderSocket >= 0)
            close(placeholderSocket);
    }

    // The easy handle, the share that keeps the TLS sessions, the placeholder socket.
    bool Start(struct soap* soap)
    {
        curl = curl_easy_init();
        // The context is used by one thread at a time, so the share needs no locks.
        share = curl_share_init();
        const bool shareSet = share != nullptr && curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
        // A real descriptor that reaches nothing: whatever the runtime does with "its socket"
        // (options, polling) stays harmless.
        placeholderSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (curl == nullptr || !shareSet || placeholderSocket < 0) {
            soap->errnum = errno;
            return false;
        }
        return true;
    }

    bool Split(struct soap*, const char* endpoint, EndPoint& parts) override
    {
        CURLU* parsed = curl_url();
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        const bool split = parsed != nullptr && std::strlen(endpoint) < maximumUrlLength &&
                           curl_url_set(parsed, CURLUPART_URL, endpoint, 0) == CURLUE_OK &&
                           curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                           curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                           curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
        const bool supported = split && (std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0);
        if (supported) {
            parts.host = host;
            parts.port = port;
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
        curl_url_cleanup(parsed);
        return supported;
    }

    // Nothing goes out before the whole request is there.
    SOAP_SOCKET Open(struct soap*, const CallOptions& callOptions) override
    {
        options = callOptions;
        response.clear();
        responseOffset = 0;
        return placeholderSocket;
    }

    int Send(struct soap* soap, const HeaderList& headers, const char* body, std::size_t length, long& status) override
    {
        curl_easy_reset(curl);

        curl_slist* headerList = nullptr;
        bool headersOk = true;
        for (const auto& [name, value] : headers) {
            const std::string line = name + ": " + value;
            curl_slist* longer = curl_slist_append(headerList, line.c_str());
            headersOk = headersOk && longer != nullptr;
            if (longer)
                headerList = longer;
        }
        // libcurl's own additions, removed: only the SOAP layer's lines go out.
        for (const char* removal : {"Expect:", "Accept:", "Content-Type:", "Transfer-Encoding:"}) {
            bool given = false;
            const std::string name(removal, std::strlen(removal) - 1);
            for (const auto& header : headers)
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
        response.clear();
        responseOffset = 0;
        status = 0;
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(curl, CURLOPT_URL, options.url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectResponse);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectMilliseconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.totalMilliseconds);
        if (!options.keepAlive) {
            curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        }
        if (!options.proxyHost.empty()) {
            // The user's own proxy: used for every address, whatever no_proxy says.
            curl_easy_setopt(curl, CURLOPT_PROXY, options.proxyHost.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(options.proxyPort));
            curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
            curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        }
        // The calls of one context resume the first call's TLS session, each on its own connection.
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
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
            figures.connectionsOpened += static_cast<unsigned>(connections);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        ++figures.requestsSent;

        if (result != CURLE_OK) {
            response.clear();
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
            return FailCall(soap, code, "HTTP transport error", detail + " (" + options.url + ")");
        }
        return SOAP_OK;
    }

    bool Read(struct soap*, char* buffer, std::size_t size, std::size_t& count) override
    {
        count = std::min(size, response.size() - responseOffset);
        std::memcpy(buffer, response.data() + responseOffset, count);
        responseOffset += count;
        return true;
    }

    void Close() override
    {
        response.clear();
        responseOffset = 0;
    }

private:
    // Tells, while the answer arrives and the connection is still open, whether its TLS
    // session was resumed.
    void NoteResumption()
    {
        curl_tlssessioninfo* info = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
            info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr &&
            SSL_session_reused(static_cast<SSL*>(info->internals)) == 1)
            ++figures.sessionsResumed;
    }

    static std::size_t CollectResponse(char* data, std::size_t size, std::size_t count, void* userData)
    {
        auto* backend = static_cast<CurlBackend*>(userData);
        const std::size_t length = size * count;
        if (backend->response.empty())
            backend->NoteResumption();
        if (backend->response.size() + length > maximumResponseLength)
            return 0; // makes libcurl fail the transfer
        backend->response.append(data, length);
        return length;
    }

    TransportFigures& figures;
    CURL* curl = nullptr;
    CURLSH* share = nullptr; // TLS sessions kept between the context's calls
    int placeholderSocket = -1; // what the context holds as its socket while a call is open
    CallOptions options;
    std::string response; // the answer's body, handed to the SOAP layer
    std::size_t responseOffset = 0;
};

} // namespace

std::unique_ptr<TransportBackend> MakeTransportBackend(struct soap* soap, const TransportState&,
                                                       TransportFigures& figures, unsigned long)
{
    static std::once_flag globalInit;
    std::call_once(globalInit, []() { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CurlBackend> backend(new (std::nothrow) CurlBackend(figures));
    if (backend == nullptr || !backend->Start(soap))
        return nullptr;
    return backend;
}
