#include "protocol/server_version.h"

#include <algorithm>
#include <climits>

namespace {

int LeadingInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX + 1LL);
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(std::min<long long>(value, INT_MAX));
}

} // namespace

ServerVersion ReadServerVersion(std::string_view text)
{
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos)
        return {LeadingInteger(text), 0};
    return {LeadingInteger(text.substr(0, point)), LeadingInteger(text.substr(point + 1))};
}

bool IsSameMajorRelease(const ServerVersion& a, const ServerVersion& b)
{
    return a.major == b.major && (a.major >= 10 || a.minor == b.minor);
}
