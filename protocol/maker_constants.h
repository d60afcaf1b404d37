// Addresses and names that belong to the maker of Pelloran, kept together so a
// rebranded or self-hosted build changes them in one place.
#pragma once

// Overview of the maker's services, opened in the browser on finishing.
inline constexpr const char* servicesPageAddress = "https://www.norvane.com/services/";

// The maker's support forum, quoted in error messages.
inline constexpr const char* supportForumAddress = "https://forum.norvane.com/pelloran/";

// The maker's tuning service. Requests are posted to the end point with its "?wsdl" query.
inline constexpr const char* serviceEndpoint =
    "https://services.norvane.com/authws/services/AuthenticationService?wsdl";
// The service's XML namespace; the interface header protocol/authentication_service.h names
// the same URI and the same end point (a test holds them together).
inline constexpr const char* serviceNamespace = "urn:norvane:pelloran:tuning";
// The service account every call authenticates with (HTTP Basic).
inline constexpr const char* serviceUserId = "tuning@norvane.com";
inline constexpr const char* serviceSecret = "quintals";
