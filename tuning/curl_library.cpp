#include "tuning/curl_library.h"

#include <dlfcn.h>

namespace {

// The ABI versions the build's headers describe (libcurl 4, OpenSSL 3).
const char* const curlName = "libcurl.so.4";
const char* const sslName = "libssl.so.3";
const char* const cryptoName = "libcrypto.so.3";

template <typename Function>
bool Find(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

struct Loaded
{
    CurlLibrary functions{};
    bool ok = false;

    Loaded()
    {
        // libcurl brings both OpenSSL libraries with it; the two opens below only name them.
        void* curl = dlopen(curlName, RTLD_NOW | RTLD_LOCAL);
        void* ssl = curl ? dlopen(sslName, RTLD_NOW | RTLD_LOCAL) : nullptr;
        void* crypto = ssl ? dlopen(cryptoName, RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (crypto == nullptr)
            return;
        CurlLibrary& f = functions;
        const bool found =
            Find(curl, "curl_global_init", f.globalInit) && Find(curl, "curl_version_info", f.versionInfo) &&
            Find(curl, "curl_easy_init", f.easyInit) && Find(curl, "curl_easy_cleanup", f.easyCleanup) &&
            Find(curl, "curl_easy_reset", f.easyReset) && Find(curl, "curl_easy_setopt", f.easySetopt) &&
            Find(curl, "curl_easy_getinfo", f.easyGetinfo) && Find(curl, "curl_easy_perform", f.easyPerform) &&
            Find(curl, "curl_easy_strerror", f.easyStrerror) && Find(curl, "curl_free", f.free) &&
            Find(curl, "curl_share_init", f.shareInit) && Find(curl, "curl_share_cleanup", f.shareCleanup) &&
            Find(curl, "curl_share_setopt", f.shareSetopt) && Find(curl, "curl_slist_append", f.slistAppend) &&
            Find(curl, "curl_slist_free_all", f.slistFreeAll) && Find(curl, "curl_url", f.url) &&
            Find(curl, "curl_url_cleanup", f.urlCleanup) && Find(curl, "curl_url_get", f.urlGet) &&
            Find(curl, "curl_url_set", f.urlSet) && Find(crypto, "X509_STORE_new", f.storeNew) &&
            Find(crypto, "X509_STORE_free", f.storeFree) && Find(crypto, "X509_STORE_up_ref", f.storeUpRef) &&
            Find(crypto, "X509_STORE_load_file", f.storeLoadFile) &&
            Find(crypto, "X509_STORE_load_path", f.storeLoadPath) && Find(crypto, "ERR_clear_error", f.clearErrors) &&
            Find(ssl, "SSL_CTX_set1_cert_store", f.contextSetStore) &&
            Find(ssl, "SSL_session_reused", f.sessionReused);
        if (!found)
            return;
        f.globalInit(CURL_GLOBAL_DEFAULT);
        ok = true;
    }
};

} // namespace

const CurlLibrary* OpenCurlLibrary()
{
    // Loaded once for the process, as a linked library would be; never closed, since
    // OpenSSL keeps state for the process's lifetime.
    static const Loaded loaded;
    return loaded.ok ? &loaded.functions : nullptr;
}
