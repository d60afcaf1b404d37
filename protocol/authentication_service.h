// Interface of the tuning service, the input of soapcpp2 (see protocol/soap/CMakeLists.txt).
// SOAP 1.1, RPC style, SOAP encoding. The namespace and the location repeat serviceNamespace
// and serviceEndpoint of protocol/maker_constants.h; a test keeps them equal.
//
// Lines beginning with #include are copied into the generated soapStub.h.
#include "protocol/soap/array_type_out.h"

//gsoap ns2 service name: AuthenticationServiceSoapBinding
//gsoap ns2 service namespace: urn:norvane:pelloran:tuning
//gsoap ns2 service location: https://services.norvane.com/authws/services/AuthenticationService?wsdl
//gsoap ns2 service style: rpc
//gsoap ns2 service encoding: encoded
// Declared per operation as well: only then does the Body carry SOAP-ENV:encodingStyle.
//gsoap ns2 service method-style: testWebService rpc
//gsoap ns2 service method-encoding: testWebService http://schemas.xmlsoap.org/soap/encoding/
//gsoap ns2 service method-action: testWebService ""
//gsoap ns2 service method-style: validateUser rpc
//gsoap ns2 service method-encoding: validateUser http://schemas.xmlsoap.org/soap/encoding/
//gsoap ns2 service method-action: validateUser ""
//gsoap ns2 service method-style: getQuorvelInfo rpc
//gsoap ns2 service method-encoding: getQuorvelInfo http://schemas.xmlsoap.org/soap/encoding/
//gsoap ns2 service method-action: getQuorvelInfo ""
//gsoap ns2 service method-style: getTuningExtensions rpc
//gsoap ns2 service method-encoding: getTuningExtensions http://schemas.xmlsoap.org/soap/encoding/
//gsoap ns2 service method-action: getTuningExtensions ""

// A SOAP-encoded array of xsd:string: items "item", arrayType "xsd:string[N]".
class ArrayOf_USCORExsd_USCOREstring
{
public:
    char **__ptr;
    int __size;
};

// A SOAP-encoded array of string arrays: arrayType "xsd:string[][N]".
class ArrayOfArrayOf_USCORExsd_USCOREstring
{
public:
    ArrayOf_USCORExsd_USCOREstring *__ptr;
    int __size;
};

// The leading underscore lets the result element arrive under any name; it is still written
// as "getQuorvelInfoReturn" (and "validateUserReturn" below, "getTuningExtensionsReturn").
struct ns2__getQuorvelInfoResponse
{
    ArrayOfArrayOf_USCORExsd_USCOREstring *_getQuorvelInfoReturn;
};

struct ns2__getTuningExtensionsResponse
{
    ArrayOfArrayOf_USCORExsd_USCOREstring *_getTuningExtensionsReturn;
};

// Is the service there? Its result is read by name only; a service with the extension ends
// it with " ext=N", the extension's version.
int ns2__testWebService(char **testWebServiceReturn);

// Announces the machine profile (19 items); the first character of the answer is the verdict.
int ns2__validateUser(ArrayOf_USCORExsd_USCOREstring *params, char **_validateUserReturn);

// Asks for the tuning values (7 items); answers 17 pairs of name and value.
int ns2__getQuorvelInfo(ArrayOf_USCORExsd_USCOREstring *params, struct ns2__getQuorvelInfoResponse &);

// The optional extension, called only of a service whose test text ends in " ext=N", after
// getQuorvelInfo of the same exchange: the identifier, "ext/1", then up to 32 "key=value"
// facts; answers up to 64 arrays of name, value, kind and reason.
int ns2__getTuningExtensions(ArrayOf_USCORExsd_USCOREstring *params, struct ns2__getTuningExtensionsResponse &);
