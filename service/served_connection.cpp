#include "service/served_connection.h"

#include "service/tuning_operations.h"
#include "protocol/maker_constants.h"

#include <openssl/crypto.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr const char* realm = "Pelloran tuning service";

bool SameText(const char* given, const char* expected)
{
    if (given == nullptr)
        return false;
    const std::size_t length = std::strlen(expected);
    return std::strlen(given) == length && CRYPTO_memcmp(given, expected, length) == 0;
}

const char* MethodName(int status)
{
    switch (status) {
    case SOAP_POST:
    case SOAP_POST_FILE:
        return "POST";
    case SOAP_GET:
        return "GET";
    case SOAP_PUT:
        return "PUT";
    case SOAP_PATCH:
        return "PATCH";
    case SOAP_DEL:
        return "DELETE";
    case SOAP_HEAD:
        return "HEAD";
    case SOAP_OPTIONS:
        return "OPTIONS";
    case SOAP_CONNECT:
        return "CONNECT";
    default:
        return "-";
    }
}

} // namespace

// The requests of one thread, each on its own connection.
class ServedConnection : public TuningOperations
{
public:
    ServedConnection(const struct soap& listener, ServedParts& shared)
        : TuningOperations(listener, shared.store), shared(shared), listenerInputMode(imode), listenerOutputMode(omode)
    {
        user = this;
        fparse = Parse;
        fparsehdr = ParseHeader;
        fresponse = Response;
        fposthdr = PostHeader;
        frecv = Receive;
        fclose = Close;
    }

    // Takes over the socket, the TLS state and the bytes of `pending`; nothing of the request
    // before stays.
    void Begin(PendingRequest& pending)
    {
        if (pending.ssl != nullptr)
            BIO_set_callback_ex(SSL_get_rbio(pending.ssl), nullptr);
        socket = pending.socket;
        ssl = pending.ssl;
        pending.socket = -1;
        pending.ssl = nullptr;
        arrived.clear();
        arrived.swap(pending.bytes);
        arrivedTaken = 0;
        client = pending.client;
        key = pending.key;
        arrivedAt = pending.arrived;
        operation = "";
        requestLine.clear();
        responseCode = 0;
        bodyBounded = false;
        bodyLeft = 0;
        size = 0;
        // The runtime clears them as it reads the header; a request cut short must not find
        // the credentials of the one before, nor any request the modes it set.
        userid = nullptr;
        passwd = nullptr;
        authrealm = nullptr;
        imode = listenerInputMode;
        omode = listenerOutputMode;
    }

    AuthenticationServiceSoapBindingService* copy() override { return nullptr; } // never copied

    void Serve()
    {
        serve();
        if (!requestLine.empty()) {
            const int status = responseCode == 0 ? 400 : responseCode;
            shared.log.Write(client, std::time(nullptr), requestLine, status, size);
            shared.metrics.Request(operation, status,
                                   std::chrono::duration<double>(std::chrono::steady_clock::now() - arrivedAt).count());
        }
        destroy();
        Close(this); // when the runtime gave up before its own close
    }

private:
    int Admit(const char* called) override
    {
        operation = called;
        return Authorise();
    }

    int AdmitAnnouncement(char verdict) override
    {
        shared.metrics.Verdict(verdict);
        if (verdict == '0' && !shared.limits.AllowAnnouncement(key))
            return soap_senderfault(soap_strdup(this, ("Too many announcements from this address: at most " +
                                                       std::to_string(shared.limits.AnnouncementsPerMinute()) +
                                                       " a minute")
                                                          .c_str()),
                                    nullptr);
        return SOAP_OK;
    }

    std::string Owner() const override { return key.text.empty() ? client : key.text; }

    int Authorise()
    {
        if (SameText(userid, serviceUserId) && SameText(passwd, serviceSecret))
            return SOAP_OK;
        authrealm = realm;
        return 401;
    }

    static ServedConnection* Of(struct soap* soap) { return static_cast<ServedConnection*>(soap->user); }

    // Sends close_notify and closes. The runtime's own close waits up to 5 s for the client's
    // close_notify, which holds the thread that answered for a round trip after every answer,
    // and for the whole 5 s when the client keeps the connection open.
    static int Close(struct soap* soap)
    {
        if (SSL* ssl = soap->ssl) {
            soap->ssl = nullptr;
            if (SSL_get_shutdown(ssl) == 0 && soap->error != SOAP_SSL_ERROR)
                SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        soap_force_closesock(soap);
        return SOAP_OK;
    }

    // After the request line and headers: note the request line for the access log.
    static int Parse(struct soap* soap)
    {
        ServedConnection* self = Of(soap);
        const int error = self->shared.originalParse(soap);
        if (self->requestLine.empty() && (soap->status >= SOAP_POST || soap->path[0] != '\0'))
            self->requestLine = std::string(MethodName(soap->status)) + " " + soap->path + " HTTP/" +
                                (soap->http_version != nullptr ? soap->http_version : "1.1");
        // The runtime answers a POST whose body is no SOAP envelope by closing the connection
        // (it takes the method for the error); without the method it sends a fault instead.
        if (error == SOAP_OK && soap->status == SOAP_POST)
            soap->status = 0;
        // The runtime reads on past the announced length and waits for more; stop at the end
        // of the body so that a truncated message fails at once instead of after a time-out.
        if (error == SOAP_OK && soap->length > 0) {
            const std::size_t buffered = soap->buflen - soap->bufidx;
            self->bodyLeft = soap->length > buffered ? soap->length - buffered : 0;
            self->bodyBounded = true;
        }
        // Credentials first: without them nothing of the body is read.
        if (error == SOAP_OK)
            return self->Authorise();
        return error;
    }

    // A body announced larger than the limit is refused before it is read.
    static int ParseHeader(struct soap* soap, const char* key, const char* value)
    {
        ServedConnection* self = Of(soap);
        // While the header lines are read, the request line is still in msgbuf as it came.
        if (self->requestLine.empty())
            self->requestLine.assign(soap->msgbuf, strnlen(soap->msgbuf, sizeof soap->msgbuf));
        if (key != nullptr && value != nullptr && strcasecmp(key, "Content-Length") == 0 && !AcceptedBodyLength(value))
            return 413;
        return self->shared.originalParseHeader(soap, key, value);
    }

    // Every answer passes here: note its size for the access log.
    static int Response(struct soap* soap, int status, ULONG64 count)
    {
        Of(soap)->size = static_cast<long long>(count);
        return Of(soap)->shared.originalResponse(soap, status, count);
    }

    static std::size_t Receive(struct soap* soap, char* buffer, std::size_t length)
    {
        ServedConnection* self = Of(soap);
        if (!self->bodyBounded)
            return self->Take(buffer, length);
        if (self->bodyLeft == 0)
            return 0;
        const std::size_t got = self->Take(buffer, std::min<std::size_t>(length, self->bodyLeft));
        self->bodyLeft -= std::min(got, self->bodyLeft);
        return got;
    }

    // Only what the front loop read, which framed the whole request: a worker never waits
    // for a client.
    std::size_t Take(char* buffer, std::size_t length)
    {
        const std::size_t count = std::min(length, arrived.size() - arrivedTaken);
        std::memcpy(buffer, arrived.data() + arrivedTaken, count);
        arrivedTaken += count;
        return count;
    }

    // The status line of the answer is posted as the first header: note its code.
    static int PostHeader(struct soap* soap, const char* key, const char* value)
    {
        ServedConnection* self = Of(soap);
        if (self->responseCode == 0 && key != nullptr && std::strncmp(key, "HTTP/", 5) == 0) {
            const char* code = value != nullptr ? value : std::strchr(key, ' ');
            if (code != nullptr)
                self->responseCode = std::atoi(code);
        }
        return self->shared.originalPostHeader(soap, key, value);
    }

    ServedParts& shared;
    const soap_mode listenerInputMode;
    const soap_mode listenerOutputMode;
    std::string client;
    ClientKey key;
    std::chrono::steady_clock::time_point arrivedAt;
    const char* operation = ""; // the operation called, once known
    std::string arrived;
    std::size_t arrivedTaken = 0;
    std::string requestLine;
    int responseCode = 0; // 0 until an answer was sent
    bool bodyBounded = false;
    std::size_t bodyLeft = 0;
    long long size = 0;
};

void ServedParts::KeepOriginalHooks(const struct soap& listener)
{
    originalParse = listener.fparse;
    originalParseHeader = listener.fparsehdr;
    originalResponse = listener.fresponse;
    originalPostHeader = listener.fposthdr;
}

RequestServer::RequestServer(const struct soap& listener, ServedParts& parts)
    : connection(std::make_unique<ServedConnection>(listener, parts))
{
}

RequestServer::~RequestServer() = default;

void RequestServer::Serve(PendingRequest& request)
{
    connection->Begin(request);
    connection->Serve();
}
