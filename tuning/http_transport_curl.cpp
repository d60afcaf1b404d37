// The transport's backend over libcurl: each call is one POST on a new connection (resuming
// the TLS session of the context's earlier calls), its answer's body collected whole.
#include "tuning/http_transport_backend.h"

#include "tuning/curl_library.h"

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

bool SslBackendIsOpenSsl(const CurlLibrary& lib)
{
    const curl_version_info_data* info = lib.versionInfo(CURLVERSION_NOW);
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
    X509_STORE* Acquire(const CurlLibrary& lib, const std::string& extraFile)
    {
        const std::string key = KeyOf(extraFile);
        std::lock_guard<std::mutex> lock(mutex);
        if (!loaded || key != loadedKey) {
            lib.storeFree(store);
            store = Build(lib, extraFile);
            loadedKey = key;
            loaded = true;
        }
        if (store != nullptr)
            lib.storeUpRef(store);
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

    static X509_STORE* Build(const CurlLibrary& lib, const std::string& extraFile)
    {
        X509_STORE* built = lib.storeNew();
        if (built == nullptr)
            return nullptr;
        char* systemFile = nullptr;
        char* systemFolder = nullptr;
        if (CURL* probe = lib.easyInit()) {
            lib.easyGetinfo(probe, CURLINFO_CAINFO, &systemFile);
            lib.easyGetinfo(probe, CURLINFO_CAPATH, &systemFolder);
            // The texts are libcurl's built-in defaults and outlive the handle.
            lib.easyCleanup(probe);
        }
        if (systemFile != nullptr)
            lib.storeLoadFile(built, systemFile);
        if (systemFolder != nullptr)
            lib.storeLoadPath(built, systemFolder);
        lib.clearErrors();
        if (!extraFile.empty() && lib.storeLoadFile(built, extraFile.c_str()) != 1) {
            lib.clearErrors();
            lib.storeFree(built);
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

class CurlBackend final : public TransportBackend
{
public:
    CurlBackend(const CurlLibrary& lib, TransportFigures& figures) : lib(lib), figures(figures) {}

    ~CurlBackend() override
    {
        lib.easyCleanup(curl);
        lib.shareCleanup(share);
        if (placeholderSocket >= 0)
            close(placeholderSocket);
    }

    // The easy handle, the share that keeps the TLS sessions, the placeholder socket.
    bool Start(struct soap* soap)
    {
        curl = lib.easyInit();
        // The context is used by one thread at a time, so the share needs no locks.
        share = lib.shareInit();
        const bool shareSet = share != nullptr && lib.shareSetopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
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
        CURLU* parsed = lib.url();
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        const bool split = parsed != nullptr && std::strlen(endpoint) < maximumUrlLength &&
                           lib.urlSet(parsed, CURLUPART_URL, endpoint, 0) == CURLUE_OK &&
                           lib.urlGet(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                           lib.urlGet(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                           lib.urlGet(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
        const bool supported = split && (std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0);
        if (supported) {
            parts.host = host;
            parts.port = port;
        }
        lib.free(scheme);
        lib.free(host);
        lib.free(port);
        lib.urlCleanup(parsed);
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
        lib.easyReset(curl);

        curl_slist* headerList = nullptr;
        bool headersOk = true;
        for (const auto& [name, value] : headers) {
            const std::string line = name + ": " + value;
            curl_slist* longer = lib.slistAppend(headerList, line.c_str());
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
                curl_slist* longer = lib.slistAppend(headerList, removal);
                headersOk = headersOk && longer != nullptr;
                if (longer)
                    headerList = longer;
            }
        }
        if (!headersOk) {
            lib.slistFreeAll(headerList);
            return FailCall(soap, SOAP_EOM, "Out of memory", "the request's header lines");
        }

        char errorText[CURL_ERROR_SIZE] = "";
        response.clear();
        responseOffset = 0;
        status = 0;
        lib.easySetopt(curl, CURLOPT_ERRORBUFFER, errorText);
        lib.easySetopt(curl, CURLOPT_URL, options.url.c_str());
        lib.easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        lib.easySetopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        lib.easySetopt(curl, CURLOPT_POST, 1L);
        lib.easySetopt(curl, CURLOPT_POSTFIELDS, body);
        lib.easySetopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
        lib.easySetopt(curl, CURLOPT_HTTPHEADER, headerList);
        lib.easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
        lib.easySetopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        lib.easySetopt(curl, CURLOPT_WRITEFUNCTION, CollectResponse);
        lib.easySetopt(curl, CURLOPT_WRITEDATA, this);
        lib.easySetopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectMilliseconds);
        lib.easySetopt(curl, CURLOPT_TIMEOUT_MS, options.totalMilliseconds);
        if (!options.keepAlive) {
            lib.easySetopt(curl, CURLOPT_FRESH_CONNECT, 1L);
            lib.easySetopt(curl, CURLOPT_FORBID_REUSE, 1L);
        }
        if (!options.proxyHost.empty()) {
            // The user's own proxy: used for every address, whatever no_proxy says.
            lib.easySetopt(curl, CURLOPT_PROXY, options.proxyHost.c_str());
            lib.easySetopt(curl, CURLOPT_PROXYPORT, static_cast<long>(options.proxyPort));
            lib.easySetopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
            lib.easySetopt(curl, CURLOPT_NOPROXY, "");
        }
        // The calls of one context resume the first call's TLS session, each on its own connection.
        lib.easySetopt(curl, CURLOPT_SHARE, share);
        const char* caFile = std::getenv(caFileVariable);
        const bool extraTrust = caFile != nullptr && caFile[0] != '\0';
        X509_STORE* trust = nullptr;
        if (SslBackendIsOpenSsl(lib)) {
            trust = ProcessTrustStore().Acquire(lib, extraTrust ? caFile : "");
            lib.easySetopt(curl, CURLOPT_CAINFO, nullptr);
            lib.easySetopt(curl, CURLOPT_CAPATH, nullptr);
            lib.easySetopt(curl, CURLOPT_SSL_CTX_FUNCTION, UseTrustStore);
            lib.easySetopt(curl, CURLOPT_SSL_CTX_DATA, this);
        } else if (extraTrust) {
            lib.easySetopt(curl, CURLOPT_CAINFO, caFile);
        }

        callTrust = trust;
        const CURLcode result = lib.easyPerform(curl);
        callTrust = nullptr;
        lib.storeFree(trust);
        lib.slistFreeAll(headerList);
        curl_off_t connections = 0;
        if (lib.easyGetinfo(curl, CURLINFO_NUM_CONNECTS, &connections) == CURLE_OK)
            figures.connectionsOpened += static_cast<unsigned>(connections);
        lib.easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        lib.easySetopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        ++figures.requestsSent;

        if (result != CURLE_OK) {
            response.clear();
            std::string detail = errorText[0] != '\0' ? errorText : lib.easyStrerror(result);
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
        if (lib.easyGetinfo(curl, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
            info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr &&
            lib.sessionReused(static_cast<SSL*>(info->internals)) == 1)
            ++figures.sessionsResumed;
    }

    // Hands the connection the process's trust store instead of one libcurl would parse anew.
    static CURLcode UseTrustStore(CURL*, void* sslContext, void* userData)
    {
        auto* backend = static_cast<CurlBackend*>(userData);
        if (backend->callTrust == nullptr)
            return CURLE_SSL_CACERT_BADFILE;
        backend->lib.contextSetStore(static_cast<SSL_CTX*>(sslContext), backend->callTrust);
        return CURLE_OK;
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

    const CurlLibrary& lib;
    TransportFigures& figures;
    X509_STORE* callTrust = nullptr; // the trust store of the call under way
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
    const CurlLibrary* lib = OpenCurlLibrary();
    if (lib == nullptr)
        return nullptr;
    std::unique_ptr<CurlBackend> backend(new (std::nothrow) CurlBackend(*lib, figures));
    if (backend == nullptr || !backend->Start(soap))
        return nullptr;
    return backend;
}
