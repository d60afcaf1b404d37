#include "tuning/tuning_exchange.h"

#include "installations/server.h"
#include "protocol/extension_parameters.h"
#include "protocol/hex_text.h"
#include "tuning/extension_answer.h"
#include "tuning/machine_facts.h"
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"
#include "tuning/system_info.h"
#include "protocol/tuned_value.h"

#include "soapAuthenticationServiceSoapBindingProxy.h"

#include <wx/intl.h>
#include <wx/log.h>
#include <wx/wxcrt.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Wide texts reach the service as 8-bit text in the platform's multibyte encoding.
std::string Narrow(const wxString& text)
{
    const wxCharBuffer bytes = text.mb_str(wxConvLibc);
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

wxString Widen(const char* text)
{
    return text ? wxString(text, wxConvLibc) : wxString();
}

// The hex texts of one request, each in its own heap block (the SOAP layer would write a
// repeated pointer as a reference instead of an item).
class HexItems
{
public:
    explicit HexItems(const std::vector<std::string>& texts)
    {
        for (const std::string& text : texts)
            items.push_back(StrToHexStr(text.c_str()));
    }
    ~HexItems()
    {
        for (char* item : items)
            std::free(item);
    }
    HexItems(const HexItems&) = delete;
    HexItems& operator=(const HexItems&) = delete;

    // The request's array of them.
    ArrayOf_USCORExsd_USCOREstring* params()
    {
        array.__ptr = items.data();
        array.__size = static_cast<int>(items.size());
        return &array;
    }

private:
    std::vector<char*> items;
    ArrayOf_USCORExsd_USCOREstring array;
};

void LogMemoryUnavailable()
{
    wxLogError(_("Could not fetch the memory info for this system!\nPlease visit %s for further assistance"),
               supportForumAddress);
}

void LogServiceUnreachable()
{
    wxLogError(_("Error accessing WebService!\nMake sure that you are connected to the network.\nIf you are connected "
                 "to the internet, please check the proxy settings.\nPlease visit %s for further assistance."),
               supportForumAddress);
}

void LogUnexpectedError()
{
    wxLogError(_("Unexpected Error!\nPlease visit %s for further assistance."), supportForumAddress);
}

void LogListModified()
{
    wxLogError(_("Quorvel variables list has been modified.\nPlease visit %s for further assistance"),
               supportForumAddress);
}

// The slot of the parameter named `name` (letter case ignored), or tuningParameterCount.
std::size_t TuningSlotOf(const char* name)
{
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        if (wxStricmp(tuningParameterNames[i], name) == 0)
            return i;
    return tuningParameterCount;
}

// The text of one hex item, or null when it does not decode or holds a zero byte, which
// would end the text early and drop the rest unseen.
char* DecodeItem(const char* hex)
{
    char* text = HexStrToStr(hex);
    if (text != nullptr && 2 * std::strlen(text) != std::strlen(hex)) {
        std::free(text);
        return nullptr;
    }
    return text;
}

// Decodes the 17 pairs of an answer into `pairs`. The answer is taken whole or not at all:
// every name and value decodes, every value of a table parameter is one the target takes and
// they go together (tuned_value.h), and at least one table parameter gets a value. Stops at
// the first fault.
bool DecodeAnswer(const ArrayOfArrayOf_USCORExsd_USCOREstring& result, const TunedTarget& target, TuningPair* pairs)
{
    std::array<std::string_view, tuningParameterCount> values; // the later of a name given twice, as stored
    bool carriesValue = false;
    for (std::size_t i = 0; i < tuningParameterCount; ++i) {
        const ArrayOf_USCORExsd_USCOREstring& item = result.__ptr[i];
        pairs[i].name = DecodeItem(item.__size > 0 && item.__ptr ? item.__ptr[0] : nullptr);
        pairs[i].value = pairs[i].name ? DecodeItem(item.__size > 1 && item.__ptr ? item.__ptr[1] : nullptr) : nullptr;
        if (pairs[i].value == nullptr)
            return false;
        const std::size_t slot = TuningSlotOf(pairs[i].name);
        if (slot == tuningParameterCount)
            continue; // stores nothing
        if (!IsSoundTunedValue(slot, pairs[i].value, target))
            return false;
        values[slot] = pairs[i].value;
        carriesValue = carriesValue || pairs[i].value[0] != '\0';
    }
    return carriesValue && AreSoundTogether(values, target);
}

// The server the values are for and the memory just announced for its machine, which
// bounds every memory value.
TunedTarget TargetOf(const Server& server)
{
    TunedTarget target;
    target.server.version = server.versionNumber;
    target.server.windows = QueryPlatformProfile().os.rfind("Windows", 0) == 0; // as announced, as the service reads it
    target.server.bits32 = server.bitness == wxT("32");
    target.memoryKilobytes = std::strtoull(memoryMegabytes, nullptr, 10) * 1024;
    return target;
}

// For the length of one exchange, the memory announced is what the server may use: the
// machine's, or the memory limit it runs under when that is smaller.
class AnnouncedMemoryLimit
{
public:
    explicit AnnouncedMemoryLimit(const MachineFacts& facts) : limited(facts.memoryLimitMb.has_value())
    {
        if (limited)
            SetTotalMemorySource(EffectiveMemorySource(facts));
    }
    ~AnnouncedMemoryLimit()
    {
        if (limited)
            SetTotalMemorySource({});
    }
    AnnouncedMemoryLimit(const AnnouncedMemoryLimit&) = delete;
    AnnouncedMemoryLimit& operator=(const AnnouncedMemoryLimit&) = delete;

private:
    const bool limited;
};

// Asks getTuningExtensions with the facts and takes what it answers into `server`; false when
// the call fails or answers nothing readable.
bool FetchExtensions(AuthenticationServiceSoapBindingProxy& proxy, const wxString& exchangeId,
                     const MachineFacts& facts, Server& server)
{
    std::vector<std::string> texts = {Narrow(exchangeId), ExtensionRequestTag()};
    std::vector<std::string> factTexts = FactItems(facts);
    factTexts.resize(std::min(factTexts.size(), extensionFactLimit));
    texts.insert(texts.end(), factTexts.begin(), factTexts.end());
    HexItems items(texts);
    ns2__getTuningExtensionsResponse response;
    if (proxy.getTuningExtensions(items.params(), response) != SOAP_OK) {
        proxy.soap_stream_fault(std::cerr);
        return false;
    }
    const ArrayOfArrayOf_USCORExsd_USCOREstring* result = response._getTuningExtensionsReturn;
    if (result == nullptr || (result->__ptr == nullptr && result->__size > 0))
        return false;
    std::vector<ExtensionAnswerItem> answer(static_cast<std::size_t>(std::max(result->__size, 0)));
    for (std::size_t i = 0; i < answer.size(); ++i) {
        const ArrayOf_USCORExsd_USCOREstring& row = result->__ptr[i];
        const int present = row.__ptr != nullptr ? std::min(row.__size, 4) : 0;
        std::string* fields[] = {&answer[i].name, &answer[i].value, &answer[i].kind, &answer[i].reason};
        answer[i].decoded = row.__size == 4 && present == 4;
        for (int j = 0; j < present; ++j) {
            char* text = DecodeItem(row.__ptr[j]);
            answer[i].decoded = answer[i].decoded && text != nullptr;
            if (text != nullptr)
                *fields[j] = text;
            std::free(text);
        }
    }
    TakeExtensionAnswer(answer, TargetOf(server), server);
    return true;
}

// Empties what an earlier exchange left of the extension's part.
void ForgetExtension(Server& server)
{
    server.reasons = {};
    server.extensionSettings.clear();
    server.advice.clear();
    server.dropped.clear();
    server.extensionUnavailable = false;
}

} // namespace

const char* ServiceEndpoint()
{
    const char* override = std::getenv(serviceUrlVariable);
    return override != nullptr && override[0] != '\0' ? override : serviceEndpoint;
}

const char* UsageLevel(int usageIndex)
{
    static const char* const levels[] = {"33", "66", "100"};
    return usageIndex >= 0 && usageIndex < 3 ? levels[usageIndex] : levels[0];
}

int AnnounceMachine(AuthenticationServiceSoapBindingProxy& proxy, const wxString& exchangeId,
                    const wxString& versionText, const wxString& userId, const wxString& secret,
                    const wxString& usageLevel, const wxString& workloadText)
{
    char os[osTextSize], processorCount[processorCountSize], processorArchitecture[processorArchitectureSize],
        processorIdentifier[processorIdentifierSize];
    ReadSystemProfile(os, processorCount, processorArchitecture, processorIdentifier);
    GetLocaleName();
    if (!FetchMemoryInfo()) {
        LogMemoryUnavailable();
        return 0;
    }
    HexItems items({Narrow(exchangeId), "tune", localeName, "tune", "true", "false", Narrow(versionText), os,
                    processorCount, processorArchitecture, "1", processorIdentifier, memoryGigabytes, "0",
                    memoryMegabytes, Narrow(userId), Narrow(secret), Narrow(usageLevel), Narrow(workloadText)});
    char* answer = nullptr;
    if (proxy.validateUser(items.params(), &answer) != SOAP_OK)
        answer = nullptr; // a failed announcement is not a refusal
    if (answer == nullptr || answer[0] == '\0')
        return 0;
    switch (answer[0]) {
    case '0':
        return 0;
    case '1':
        return 1;
    case '2':
        return 2;
    case '4':
        return 4;
    default:
        return -1;
    }
}

TuningPair* FetchTuningValues(AuthenticationServiceSoapBindingProxy& proxy, const wxString& exchangeId,
                              const wxString& usageLevel, const wxString& workloadText, const Server& server,
                              int& count)
{
    if (!FetchMemoryInfo()) {
        LogMemoryUnavailable();
        return nullptr;
    }
    HexItems items({Narrow(exchangeId), Narrow(usageLevel), memoryMegabytes, memoryGigabytes, Narrow(workloadText),
                    "32", Narrow(server.bitness)});
    ns2__getQuorvelInfoResponse response;
    if (proxy.getQuorvelInfo(items.params(), response) != SOAP_OK) {
        proxy.soap_stream_fault(std::cerr);
        LogServiceUnreachable();
        return nullptr;
    }
    const ArrayOfArrayOf_USCORExsd_USCOREstring* result = response._getQuorvelInfoReturn;
    if (result == nullptr || result->__ptr == nullptr || result->__size != static_cast<int>(tuningParameterCount)) {
        LogListModified();
        return nullptr;
    }
    auto* pairs = new TuningPair[tuningParameterCount];
    if (!DecodeAnswer(*result, TargetOf(server), pairs)) {
        FreeTuningValues(pairs, static_cast<int>(tuningParameterCount));
        LogListModified();
        return nullptr;
    }
    count = static_cast<int>(tuningParameterCount);
    return pairs;
}

void FreeTuningValues(TuningPair* pairs, int count)
{
    if (pairs == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        std::free(pairs[i].name);
        std::free(pairs[i].value);
    }
    delete[] pairs;
}

void SetTuningValue(std::array<wxString, tuningParameterCount>& values, const wxString& name, const wxString& value)
{
    const std::size_t slot = TuningSlotOf(Narrow(name).c_str());
    if (slot < tuningParameterCount)
        values[slot] = value;
}

bool ExchangeWithService(Server& server, int usageIndex, const MachineFacts& facts,
                         const std::function<void(wxString& host, wxString& port)>& readProxySettings,
                         const std::function<void(int step, const wxString& text)>& reportStatus)
{
    ForgetExtension(server);
    const AnnouncedMemoryLimit memoryLimit(facts);
    AuthenticationServiceSoapBindingProxy proxy;
    RegisterTransport(&proxy); // when it fails, the first call fails and says so

    reportStatus(1, _("Setting required parameter to connect WebService ..."));
    wxString proxyHost, proxyPort;
    readProxySettings(proxyHost, proxyPort);
    const std::string proxyHostText = Narrow(proxyHost); // outlives every call of the proxy
    if (!proxyPort.empty()) {
        proxy.proxy_host = proxyHostText.c_str();
        proxy.proxy_port = std::atoi(Narrow(proxyPort).c_str());
    }
    proxy.soap_endpoint = ServiceEndpoint();
    proxy.userid = serviceUserId;
    proxy.passwd = serviceSecret;
    proxy.connect_timeout = defaultConnectTimeout;
    proxy.transfer_timeout = defaultTotalTimeout;

    reportStatus(2, _("Initializing WebService ..."));
    char* testAnswer = nullptr;
    if (proxy.testWebService(&testAnswer) != SOAP_OK) {
        proxy.soap_stream_fault(std::cerr);
        reportStatus(6, _("Could not connect to WebService ..."));
        LogServiceUnreachable();
        return false;
    }

    // An older service knows only the three calls.
    const bool offersExtension = testAnswer != nullptr && AnnouncedExtensionVersion(testAnswer) >= 1;
    const wxString exchangeId = Widen(GetExchangeId());
    std::cout << GetExchangeId() << std::flush;

    reportStatus(3, _("Checking for WebService ..."));
    const wxString usageLevel = UsageLevel(usageIndex);
    const wxString versionText = server.version.empty() ? wxString(wxT("8.3")) : server.version;
    if (AnnounceMachine(proxy, exchangeId, versionText, serviceUserId, serviceSecret, usageLevel, workload) != 0) {
        LogUnexpectedError(); // the identifier stays for the next attempt
        return false;
    }

    reportStatus(4, _("Fetching information ..."));
    int count = 0;
    TuningPair* pairs = FetchTuningValues(proxy, exchangeId, usageLevel, workload, server, count);
    if (pairs == nullptr) {
        // Without values the review page has nothing to merge: stay on this page.
        FreeExchangeId();
        return false;
    }
    reportStatus(5, _("Updating information ..."));
    for (int i = 0; i < count; ++i)
        SetTuningValue(server.values, Widen(pairs[i].name), Widen(pairs[i].value));
    FreeTuningValues(pairs, count);
    if (offersExtension && !FetchExtensions(proxy, exchangeId, facts, server)) {
        server.extensionUnavailable = true;
        reportStatus(5, _("The extra values could not be had from the tuning service; the 17 values apply."));
    }
    FreeExchangeId();

    reportStatus(6, _("Done"));
    return true;
}
