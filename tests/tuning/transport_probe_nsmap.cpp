// The probe's namespace table; the SOAP runtime looks it up by name at link time.
#include "soapH.h"
#include "Probe.nsmap"
