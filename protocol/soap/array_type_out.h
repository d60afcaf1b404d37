// Included by the generated soapStub.h (through protocol/authentication_service.h): sends the
// arrays of the generated serialisers through ArrayBeginOut, which also writes
// xsi:type="SOAP-ENC:Array" before SOAP-ENC:arrayType, as the service's peers expect. The
// runtime's own soap_array_begin_out leaves the xsi:type out.
#pragma once
#include <stdsoap2.h>

int PelloranArrayBeginOut(struct soap* soap, const char* tag, int id, const char* type, const char* offset);

#define soap_array_begin_out PelloranArrayBeginOut
