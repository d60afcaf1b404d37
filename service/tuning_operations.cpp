#include "service/tuning_operations.h"

#include "service/http_framing.h"
#include "service/tuning_rules.h"
#include "protocol/hex_text.h"
#include "protocol/maker_constants.h"

#include <algorithm>

namespace {

constexpr const char* unknownExchangeFault =
    "Unknown or expired exchange: announce the machine with validateUser, then ask again";
constexpr const char* unavailableFault = "The service is unavailable: try again in a minute";

HexItems Items(const ArrayOf_USCORExsd_USCOREstring* params)
{
    HexItems items;
    if (params != nullptr && params->__ptr != nullptr)
        items.assign(params->__ptr, params->__ptr + std::max(params->__size, 0));
    return items;
}

} // namespace

std::optional<unsigned long long> AcceptedBodyLength(const char* value)
{
    return LengthWithin(value, requestBodyLimit);
}

TuningOperations::TuningOperations(const struct soap& listener, ExchangeStore& store)
    : AuthenticationServiceSoapBindingService(listener), store(store)
{
}

TuningOperations::TuningOperations(soap_mode inputMode, soap_mode outputMode, ExchangeStore& store)
    : AuthenticationServiceSoapBindingService(inputMode, outputMode), store(store)
{
}

int TuningOperations::testWebService(char** testWebServiceReturn)
{
    if (int refused = Admit("testWebService"))
        return refused;
    *testWebServiceReturn = soap_strdup(this, "Pelloran tuning service is running");
    return SOAP_OK;
}

int TuningOperations::validateUser(ArrayOf_USCORExsd_USCOREstring* params, char** result)
{
    if (int refused = Admit("validateUser"))
        return refused;
    const Announcement announcement = CheckAnnouncement(Items(params), serviceUserId, serviceSecret);
    if (int refused = AdmitAnnouncement(announcement.verdict))
        return refused;
    if (announcement.verdict == '0' && !store.Remember(Owner(), announcement.identifier, announcement.profile))
        return soap_receiverfault(unavailableFault, nullptr);
    const char verdict[2] = {announcement.verdict, '\0'};
    *result = soap_strdup(this, verdict);
    return SOAP_OK;
}

int TuningOperations::getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring* params, ns2__getQuorvelInfoResponse& response)
{
    if (int refused = Admit("getQuorvelInfo"))
        return refused;
    ValuesRequest request;
    const std::string problem = ReadValuesRequest(Items(params), request);
    if (!problem.empty())
        return soap_senderfault(soap_strdup(this, ("Malformed getQuorvelInfo request: " + problem).c_str()), nullptr);
    // Values for a version nobody announced could name parameters the server refuses.
    const Recollection recalled = store.Recall(request.identifier);
    if (!recalled.reachable)
        return soap_receiverfault(unavailableFault, nullptr);
    const std::optional<AnnouncedProfile>& profile = recalled.profile;
    if (!profile)
        return soap_senderfault(unknownExchangeFault, nullptr);
    const auto values = ComputeValues(request, *profile);

    auto* pairs = soap_new_ArrayOfArrayOf_USCORExsd_USCOREstring(this);
    pairs->__size = static_cast<int>(tuningParameterCount);
    pairs->__ptr = soap_new_ArrayOf_USCORExsd_USCOREstring(this, pairs->__size);
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        ArrayOf_USCORExsd_USCOREstring& pair = pairs->__ptr[i];
        pair.__size = 2;
        pair.__ptr = static_cast<char**>(soap_malloc(this, 2 * sizeof(char*)));
        pair.__ptr[0] = Hex(tuningParameterNames[i]);
        pair.__ptr[1] = Hex(values[i].c_str());
    }
    response._getQuorvelInfoReturn = pairs;
    return SOAP_OK;
}

char* TuningOperations::Hex(const char* text)
{
    char* hex = StrToHexStr(text);
    char* kept = soap_strdup(this, hex);
    std::free(hex);
    return kept;
}
