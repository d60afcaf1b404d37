#include "service/tuning_operations.h"

#include "service/http_framing.h"
#include "service/tuning_extensions.h"
#include "service/tuning_rules.h"
#include "protocol/hex_text.h"
#include "protocol/maker_constants.h"

#include <algorithm>

namespace {

constexpr const char* unknownExchangeFault =
    "Unknown or expired exchange: announce the machine with validateUser, then ask again";
constexpr const char* unavailableFault = "The service is unavailable: try again in a minute";
constexpr const char* valuesNotAskedFault =
    "No values were asked in this exchange: call getQuorvelInfo, then getTuningExtensions";

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
    *testWebServiceReturn = soap_strdup(this, ("Pelloran tuning service is running" + ExtensionTestSuffix()).c_str());
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
    Recollection recalled;
    if (int refused = RecallAnnouncement(request.identifier, recalled))
        return refused;
    const auto values = ComputeValues(request, *recalled.profile);
    // A note that fails costs only the extension's call, which then refuses; the values stand.
    store.NoteValuesAsked(request.identifier, request);

    std::vector<std::vector<std::string>> pairs;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        pairs.push_back({tuningParameterNames[i], values[i]});
    response._getQuorvelInfoReturn = HexRows(pairs);
    return SOAP_OK;
}

int TuningOperations::getTuningExtensions(ArrayOf_USCORExsd_USCOREstring* params,
                                          ns2__getTuningExtensionsResponse& response)
{
    if (int refused = Admit("getTuningExtensions"))
        return refused;
    ExtensionRequest request;
    const std::string problem = ReadExtensionRequest(Items(params), request);
    if (!problem.empty())
        return soap_senderfault(soap_strdup(this, ("Malformed getTuningExtensions request: " + problem).c_str()), nullptr);
    Recollection recalled;
    if (int refused = RecallAnnouncement(request.identifier, recalled))
        return refused;
    if (!recalled.valuesAsked)
        return soap_senderfault(valuesNotAskedFault, nullptr);
    ValuesRequest asked = *recalled.valuesAsked;
    asked.identifier = request.identifier;
    const auto values = ComputeValues(asked, *recalled.profile);
    std::vector<std::vector<std::string>> rows;
    for (const ExtensionItem& item : ComputeExtensions(ReadMachineFacts(request.facts), asked, *recalled.profile, values))
        rows.push_back({item.name, item.value, ExtensionKindName(item.kind), item.reason});
    response._getTuningExtensionsReturn = HexRows(rows);
    return SOAP_OK;
}

int TuningOperations::RecallAnnouncement(const std::string& identifier, Recollection& recalled)
{
    recalled = store.Recall(identifier);
    if (!recalled.reachable)
        return soap_receiverfault(unavailableFault, nullptr);
    // Values for a version nobody announced could name parameters the server refuses.
    if (!recalled.profile)
        return soap_senderfault(unknownExchangeFault, nullptr);
    return SOAP_OK;
}

ArrayOfArrayOf_USCORExsd_USCOREstring* TuningOperations::HexRows(const std::vector<std::vector<std::string>>& rows)
{
    auto* outer = soap_new_ArrayOfArrayOf_USCORExsd_USCOREstring(this);
    outer->__size = static_cast<int>(rows.size());
    outer->__ptr = soap_new_ArrayOf_USCORExsd_USCOREstring(this, outer->__size);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ArrayOf_USCORExsd_USCOREstring& inner = outer->__ptr[i];
        inner.__size = static_cast<int>(rows[i].size());
        inner.__ptr = static_cast<char**>(soap_malloc(this, rows[i].size() * sizeof(char*)));
        for (std::size_t j = 0; j < rows[i].size(); ++j)
            inner.__ptr[j] = Hex(rows[i][j].c_str());
    }
    return outer;
}

char* TuningOperations::Hex(const char* text)
{
    char* hex = StrToHexStr(text);
    char* kept = soap_strdup(this, hex);
    std::free(hex);
    return kept;
}
