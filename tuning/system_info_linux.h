// The rules by which the Linux sources of the system information are read, exposed so they
// can be checked with chosen inputs.
#pragma once

#include <string>

// The locale setting in force for messages: the first non-empty of LC_ALL, LC_MESSAGES, LANG.
std::string LocaleSetting();

// "en_US.UTF-8" gives "en-us"; "C", "POSIX", an empty or unusable setting gives "Unknown".
// At most localeNameSize - 1 characters are kept.
std::string LocaleNameFromSetting(const std::string& setting);

// The processor's model name from the text of /proc/cpuinfo, empty when none is given.
std::string ProcessorModelFromCpuInfo(const std::string& cpuInfo);
