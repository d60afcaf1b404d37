// Addresses and names that belong to the maker of Pelloran, kept together so a
// rebranded or self-hosted build changes them in one place.
#pragma once

// Overview of the maker's services, opened in the browser on finishing.
inline constexpr const char* servicesPageAddress = "https://www.norvane.com/services/";

// The maker's support forum, quoted in error messages.
inline constexpr const char* supportForumAddress = "https://forum.norvane.com/pelloran/";
