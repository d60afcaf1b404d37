// Requests as a client sends them (HTTP header and SOAP envelope, or the envelope alone),
// decoded by the service's SOAP code and answered by the service's own operations, without a
// socket: the context reads the input through its receive hook and its answers go nowhere.
// One input may hold several requests on a kept-alive connection, so that a validateUser can
// announce the exchange that a getQuorvelInfo after it asks about. Every value answered must
// be one the wizard can write.
#include "fuzz/fuzz_check.h"
#include "service/exchange_memory.h"
#include "service/tuning_operations.h"
#include "service/tuning_rules.h"

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

#include <strings.h>

namespace {

bool IsWritableValue(const std::string& value)
{
    static const std::regex form("|on|[0-9]+(\\.[0-9]+)?(kB|MB|GB|min)?");
    return std::regex_match(value, form);
}

class RequestsFromMemory : public TuningOperations
{
public:
    RequestsFromMemory(const unsigned char* data, std::size_t size, ExchangeStore& store)
        : TuningOperations(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE | SOAP_XML_TREE, store),
          data(reinterpret_cast<const char*>(data)), left(size)
    {
        user = this;
        frecv = Receive;
        fsend = Discard;
        // The service's bounds on a request, which the runtime relies on.
        originalParseHeader = fparsehdr;
        fparsehdr = ParseHeader;
        recv_maxlength = requestBodyLimit + requestHeaderLimit;
    }

    AuthenticationServiceSoapBindingService* copy() override { return nullptr; }

    int getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring* params, ns2__getQuorvelInfoResponse& response) override
    {
        const int error = TuningOperations::getQuorvelInfo(params, response);
        if (error != SOAP_OK)
            return error;
        const ArrayOfArrayOf_USCORExsd_USCOREstring* pairs = response._getQuorvelInfoReturn;
        Require(pairs != nullptr && pairs->__size == static_cast<int>(tuningParameterCount), "an answer holds every parameter");
        for (int i = 0; i < pairs->__size; ++i) {
            std::string value;
            Require(pairs->__ptr[i].__size == 2 && DecodeItem(pairs->__ptr[i].__ptr[1], value),
                    "every answered value is a name and a value in hex text");
            Require(IsWritableValue(value), "every answered value is one the wizard can write");
        }
        return SOAP_OK;
    }

private:
    // Who may call, and how often, is the server's to decide from the connection; here
    // every request reaches the operations.
    int Admit(const char*) override { return SOAP_OK; }
    int AdmitAnnouncement(char) override { return SOAP_OK; }
    std::string Owner() const override { return "fuzz"; }

    static std::size_t Receive(struct soap* soap, char* buffer, std::size_t length)
    {
        auto* self = static_cast<RequestsFromMemory*>(soap->user);
        const std::size_t given = std::min(length, self->left);
        std::memcpy(buffer, self->data, given);
        self->data += given;
        self->left -= given;
        return given;
    }

    static int Discard(struct soap*, const char*, std::size_t) { return SOAP_OK; }

    static int ParseHeader(struct soap* soap, const char* key, const char* value)
    {
        if (key != nullptr && value != nullptr && strcasecmp(key, "Content-Length") == 0 && !AcceptedBodyLength(value))
            return 413;
        return static_cast<RequestsFromMemory*>(soap->user)->originalParseHeader(soap, key, value);
    }

    const char* data;
    std::size_t left;
    int (*originalParseHeader)(struct soap*, const char*, const char*) = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    ExchangeMemory memory;
    RequestsFromMemory requests(data, size, memory);
    requests.serve();
    requests.destroy();
    return 0;
}
