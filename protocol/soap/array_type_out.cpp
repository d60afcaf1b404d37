#include <stdsoap2.h>

int PelloranArrayBeginOut(struct soap* soap, const char* tag, int id, const char* type, const char* offset);

int PelloranArrayBeginOut(struct soap* soap, const char* tag, int id, const char* type, const char* offset)
{
    // Only SOAP 1.1 encoded arrays carry the attribute pair; leave the rest to the runtime.
    if (type == nullptr || *type == '\0' || soap->version != 1 || soap->encodingStyle == nullptr)
        return soap_array_begin_out(soap, tag, id, type, offset);
    if (soap_element(soap, tag, id, "SOAP-ENC:Array"))
        return soap->error;
    if (offset != nullptr && soap_attribute(soap, "SOAP-ENC:offset", offset))
        return soap->error;
    if (soap_attribute(soap, "SOAP-ENC:arrayType", type))
        return soap->error;
    return soap_element_start_end_out(soap, nullptr);
}
