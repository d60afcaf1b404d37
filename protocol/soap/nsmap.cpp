// The tuning service's namespace table, which the SOAP runtime finds by name at link time.
#include "soapH.h"
#include "AuthenticationServiceSoapBinding.nsmap"
