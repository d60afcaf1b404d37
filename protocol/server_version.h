// A server's version as numbers, read the same way by the wizard's record, the listing rule,
// the server-program code and the tuning service.
#pragma once

#include <string_view>

// Major and minor number; major 0 when unknown. From 10 on the minor is a patch level.
struct ServerVersion
{
    int major = 0;
    int minor = 0;
};

inline bool operator<(const ServerVersion& a, const ServerVersion& b)
{
    return a.major != b.major ? a.major < b.major : a.minor < b.minor;
}

// The numbers of a version text ("8.3.7" gives 8.3, "15.18" 15.18, "10beta2" 10.0, "" 0.0):
// the leading integer before the first point and the one after it, each after optional white
// space and sign, clamped to the int range.
ServerVersion ReadServerVersion(std::string_view text);

// Whether two versions are of one major release: from 10 on the major number alone, before
// it the first two numbers ("9.6.24" is of "9.6", "15.4" of "15").
bool IsSameMajorRelease(const ServerVersion& a, const ServerVersion& b);
