// libcurl and the few OpenSSL functions the curl backend calls, opened when the first call
// is made rather than when the program starts: libcurl and the libraries it loads cost the
// wizard a good part of its start-up, and a run reaches the service only after its second
// page.
#pragma once

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

struct CurlLibrary
{
    decltype(&curl_global_init) globalInit;
    decltype(&curl_version_info) versionInfo;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_easy_reset) easyReset;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_strerror) easyStrerror;
    decltype(&curl_free) free;
    decltype(&curl_share_init) shareInit;
    decltype(&curl_share_cleanup) shareCleanup;
    decltype(&curl_share_setopt) shareSetopt;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
    decltype(&curl_url) url;
    decltype(&curl_url_cleanup) urlCleanup;
    decltype(&curl_url_get) urlGet;
    decltype(&curl_url_set) urlSet;

    decltype(&X509_STORE_new) storeNew;
    decltype(&X509_STORE_free) storeFree;
    decltype(&X509_STORE_up_ref) storeUpRef;
    decltype(&X509_STORE_load_file) storeLoadFile;
    decltype(&X509_STORE_load_path) storeLoadPath;
    decltype(&ERR_clear_error) clearErrors;
    decltype(&SSL_CTX_set1_cert_store) contextSetStore;
    decltype(&SSL_session_reused) sessionReused;
};

// The functions, loaded and libcurl initialised on the first use; null when a library or a
// function is missing (the packages depend on both libraries).
const CurlLibrary* OpenCurlLibrary();
