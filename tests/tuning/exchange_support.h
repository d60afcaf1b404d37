// What the exchange tests share: a stand-in for the tuning service that serves canned SOAP
// answers (for answers the real service never gives), decoding of the items a request
// carried, and an exchange run that records its status steps.
#pragma once

#include "tests/tuning/loopback_https.h"
#include "tuning/machine_facts.h"

#include <wx/string.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Server;

std::string ToHex(const std::string& text);
std::string FromHex(const std::string& hex);

// The operation a SOAP request names ("testWebService", ...), empty when none.
std::string OperationOf(const RecordedRequest& request);

// The texts of a request's "item" elements, hex-decoded, in order.
std::vector<std::string> DecodedItems(const RecordedRequest& request);

// The recorded requests of one operation.
std::vector<RecordedRequest> RequestsOf(CannedResponder& responder, const std::string& operation);

// A complete SOAP answer whose Body holds `content`.
std::string SoapAnswer(const std::string& content);

// The canned service's answers; change them between exchanges.
struct CannedService
{
    std::optional<std::string> verdict = std::string("0"); // none: an empty validateUserReturn
    std::vector<std::pair<std::string, std::string>> pairs;  // sent as they are (already hex or not)
    std::optional<std::string> rawValues;                    // instead of pairs: the array's content as it is
    bool fetchFails = false;                                 // getQuorvelInfo answers a fault
    std::string testText = "ready";                          // " ext=1" at its end offers the extension
    std::vector<std::vector<std::string>> extensionRows;     // getTuningExtensions' answer, plain texts hex-encoded when sent
    bool extensionFails = false;                             // getTuningExtensions answers a fault
    int status = 200;                                        // for every answer

    // 17 values, one of each parameter's form and each different from its default.
    static std::vector<std::string> TableValues();
    // The parameter table's names with TableValues, in table order, hex-encoded.
    static std::vector<std::pair<std::string, std::string>> TablePairs();

    std::string Answer(const RecordedRequest& request) const;
};

// One exchange through the program's code, with its status steps and what it printed.
struct ExchangeRun
{
    bool completed = false;
    std::vector<std::pair<int, std::string>> steps;
    std::vector<std::string> errors; // the texts logged for the user
    std::string standardOutput;
    std::string standardError;
};
// `atStep` runs as each status step is reported, before the exchange goes on. No facts are
// known unless given.
ExchangeRun RunExchangeWith(Server& server, int usageIndex, const wxString& proxyHost = wxString(),
                            const wxString& proxyPort = wxString(), const std::function<void(int step)>& atStep = {},
                            const MachineFacts& facts = {});
ExchangeRun RunExchangeWith(Server& server, int usageIndex, const MachineFacts& facts);

// Points the exchange at `url` and trusts `certificateFile` while it lives.
class ServiceTarget
{
public:
    ServiceTarget(const std::string& url, const std::string& certificateFile);
    ~ServiceTarget();
};
