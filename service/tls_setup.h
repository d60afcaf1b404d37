// The listening context's TLS: the certificate with its chain built once, the key, TLS 1.2
// at least, and session tickets unless the options turn them off.
#pragma once

#include "service/tuning_server.h"

#include "stdsoap2.h"

#include <string>

// False with a sentence saying why (a file that cannot be read or is no PEM, a key that does
// not belong to the certificate).
bool SetUpTls(struct soap& listener, const ServiceOptions& options, std::string& error);
