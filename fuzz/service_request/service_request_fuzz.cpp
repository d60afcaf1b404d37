// A request as a client sends it (HTTP header and SOAP envelope, or the envelope alone),
// decoded by the service's SOAP code and read by its rules, without a socket: the context
// reads the input through its receive hook and its answer goes nowhere. The operations do
// what the service's do with the decoded items, and every value computed from a decoded
// request must be one the wizard can write.
#include "fuzz/fuzz_check.h"
#include "service/exchange_memory.h"
#include "service/tuning_rules.h"
#include "tuning/hex_text.h"
#include "tuning/maker_constants.h"

#include "soapAuthenticationServiceSoapBindingService.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

bool IsWritableValue(const std::string& value)
{
    static const std::regex form("|on|[0-9]+(\\.[0-9]+)?(kB|MB|GB|min)?");
    return std::regex_match(value, form);
}

class RequestFromMemory : public AuthenticationServiceSoapBindingService
{
public:
    RequestFromMemory(const unsigned char* data, std::size_t size, ExchangeMemory& memory)
        : AuthenticationServiceSoapBindingService(SOAP_IO_DEFAULT, SOAP_IO_DEFAULT | SOAP_XML_TREE),
          data(reinterpret_cast<const char*>(data)), left(size), memory(memory)
    {
        user = this;
        frecv = Receive;
        fsend = Discard;
        recv_maxlength = 80 * 1024; // as the service bounds a request
    }

    AuthenticationServiceSoapBindingService* copy() override { return nullptr; }

    int testWebService(char** answer) override
    {
        *answer = soap_strdup(this, "running");
        return SOAP_OK;
    }

    int validateUser(ArrayOf_USCORExsd_USCOREstring* params, char** result) override
    {
        const Announcement announcement = CheckAnnouncement(Items(params), serviceUserId, serviceSecret);
        if (announcement.verdict == '0')
            memory.Remember("fuzz", announcement.identifier, announcement.profile);
        const char verdict[2] = {announcement.verdict, '\0'};
        *result = soap_strdup(this, verdict);
        return SOAP_OK;
    }

    int getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring* params, ns2__getQuorvelInfoResponse& response) override
    {
        ValuesRequest request;
        const std::string problem = ReadValuesRequest(Items(params), request);
        if (!problem.empty())
            return soap_senderfault(soap_strdup(this, problem.c_str()), nullptr);
        const auto values = ComputeValues(request, memory.Recall(request.identifier).profile.value_or(AnnouncedProfile{}));
        auto* pairs = soap_new_ArrayOfArrayOf_USCORExsd_USCOREstring(this);
        pairs->__size = static_cast<int>(parameterCount);
        pairs->__ptr = soap_new_ArrayOf_USCORExsd_USCOREstring(this, pairs->__size);
        for (std::size_t i = 0; i < parameterCount; ++i) {
            Require(IsWritableValue(values[i]), "every computed value is one the wizard can write");
            pairs->__ptr[i].__size = 2;
            pairs->__ptr[i].__ptr = static_cast<char**>(soap_malloc(this, 2 * sizeof(char*)));
            pairs->__ptr[i].__ptr[0] = Hex(parameterNames[i]);
            pairs->__ptr[i].__ptr[1] = Hex(values[i].c_str());
        }
        response._getQuorvelInfoReturn = pairs;
        return SOAP_OK;
    }

private:
    static HexItems Items(const ArrayOf_USCORExsd_USCOREstring* params)
    {
        HexItems items;
        if (params != nullptr && params->__ptr != nullptr)
            items.assign(params->__ptr, params->__ptr + std::max(params->__size, 0));
        return items;
    }

    char* Hex(const char* text)
    {
        char* hex = StrToHexStr(text);
        char* kept = soap_strdup(this, hex);
        std::free(hex);
        return kept;
    }

    static std::size_t Receive(struct soap* soap, char* buffer, std::size_t length)
    {
        auto* self = static_cast<RequestFromMemory*>(soap->user);
        const std::size_t given = std::min(length, self->left);
        std::memcpy(buffer, self->data, given);
        self->data += given;
        self->left -= given;
        return given;
    }

    static int Discard(struct soap*, const char*, std::size_t) { return SOAP_OK; }

    const char* data;
    std::size_t left;
    ExchangeMemory& memory;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    ExchangeMemory memory;
    RequestFromMemory request(data, size, memory);
    request.serve();
    request.destroy();
    return 0;
}
