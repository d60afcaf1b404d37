// The four operations of the tuning service: what each does with its decoded arguments (the
// rules' verdict, the exchange store, the answer). A context that serves them derives from
// this class and says, through the hooks, what depends on the client: who may call, what an
// announcement may cost, and whose announcements it counts as.
#pragma once

#include "service/exchange_store.h"

#include "soapAuthenticationServiceSoapBindingService.h"

#include <optional>
#include <string>
#include <vector>

// Requests carry at most this many bytes of body; larger ones are refused (413) before they
// are read, since the runtime would take any announced length on trust.
constexpr long long requestBodyLimit = 64 * 1024;
// A request header longer than this is refused.
constexpr long long requestHeaderLimit = 16 * 1024;

// The body length a Content-Length value announces, when it is a number within
// requestBodyLimit; none otherwise.
std::optional<unsigned long long> AcceptedBodyLength(const char* value);

class TuningOperations : public AuthenticationServiceSoapBindingService
{
public:
    // A context for one connection, made from the listening one.
    TuningOperations(const struct soap& listener, ExchangeStore& store);
    // A context of its own, without a listening socket.
    TuningOperations(soap_mode inputMode, soap_mode outputMode, ExchangeStore& store);

    int testWebService(char** testWebServiceReturn) override;
    int validateUser(ArrayOf_USCORExsd_USCOREstring* params, char** result) override;
    int getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring* params, ns2__getQuorvelInfoResponse& response) override;
    int getTuningExtensions(ArrayOf_USCORExsd_USCOREstring* params, ns2__getTuningExtensionsResponse& response) override;

protected:
    // Before `operation` does anything: SOAP_OK, or the error (an HTTP status or a fault) that
    // answers instead.
    virtual int Admit(const char* operation) = 0;
    // After the verdict on an announcement, before a sound one is remembered: SOAP_OK, or the
    // error that answers instead.
    virtual int AdmitAnnouncement(char verdict) = 0;
    // Whom a remembered announcement counts against when the store is full.
    virtual std::string Owner() const = 0;

private:
    // The announcement of an exchange, or the fault that answers instead (SOAP_OK when held).
    int RecallAnnouncement(const std::string& identifier, Recollection& recalled);
    char* Hex(const char* text);
    // An array of arrays of hex texts, the answer of getQuorvelInfo and of getTuningExtensions.
    ArrayOfArrayOf_USCORExsd_USCOREstring* HexRows(const std::vector<std::vector<std::string>>& rows);

    ExchangeStore& store;
};
