// The exchange with the tuning service: check that it answers, announce the machine, fetch
// the 17 tuning values and, from a service that offers them, the values beyond them, and
// store them in the Server record being tuned.
#pragma once

#include "protocol/tuning_parameters.h"

#include <wx/string.h>

#include <array>
#include <functional>

class AuthenticationServiceSoapBindingProxy;
class Server;
struct MachineFacts;

// Names another end point for the service (a site's own service, a test's).
inline constexpr const char* serviceUrlVariable = "PELLORAN_SERVICE_URL";

// The workload sent with every exchange; the wizard offers no other.
inline constexpr const char* workload = "oltp";

// One returned parameter: plain heap texts.
struct TuningPair
{
    char* name = nullptr;
    char* value = nullptr;
};

// The end point the exchange posts to.
const char* ServiceEndpoint();

// "33", "66" or "100" for the usage choices 0 (development), 1 (mixed), 2 (dedicated).
const char* UsageLevel(int usageIndex);

// Announces the machine with validateUser; returns the service's verdict: 0 to go on, 1, 2
// or 4 for the service's refusals, -1 for an answer it does not know. No answer counts as 0.
int AnnounceMachine(AuthenticationServiceSoapBindingProxy& proxy, const wxString& exchangeId,
                    const wxString& versionText, const wxString& userId, const wxString& secret,
                    const wxString& usageLevel, const wxString& workloadText);

// Asks getQuorvelInfo for the values for `server` (its bitness is sent): an array of 17 pairs
// (count set to 17), or null after telling the user why. An answer is refused whole, as a
// modified list, unless every name and value decodes, every value of a table parameter is
// one that server takes on this machine (tuned_value.h) and at least one table parameter gets
// a value. The caller frees the result with FreeTuningValues.
TuningPair* FetchTuningValues(AuthenticationServiceSoapBindingProxy& proxy, const wxString& exchangeId,
                              const wxString& usageLevel, const wxString& workloadText, const Server& server,
                              int& count);
void FreeTuningValues(TuningPair* pairs, int count);

// Stores a value in the slot of the parameter of that name (letter case ignored); a name
// outside the table changes nothing.
void SetTuningValue(std::array<wxString, tuningParameterCount>& values, const wxString& name, const wxString& value);

// The whole exchange for one installation and usage choice; reportStatus(step, text) is told
// each step (1 to 6) and readProxySettings(host, port) gives the user's proxy. True when the
// record holds the new values; otherwise the user has been told why.
// `facts` are what was detected about the machine the installation runs on: their memory
// limit lowers the memory announced, and a service with the extension gets them after the 17
// values and answers values beyond them (extension_answer.h). Without an answer from it the
// 17 still apply; the record says so (extensionUnavailable) and so does the status step.
bool ExchangeWithService(Server& server, int usageIndex, const MachineFacts& facts,
                         const std::function<void(wxString& host, wxString& port)>& readProxySettings,
                         const std::function<void(int step, const wxString& text)>& reportStatus);
