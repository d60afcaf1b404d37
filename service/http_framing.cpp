#include "service/http_framing.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

RequestFraming FrameHead(const std::string& bytes, std::size_t headLimit)
{
    return {bytes.find("\r\n\r\n") != std::string::npos || bytes.size() >= headLimit, 0};
}

RequestFraming FrameRequest(const std::string& bytes, std::size_t headLimit, unsigned long long bodyLimit)
{
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos)
        return {bytes.size() >= headLimit, 0};
    std::optional<unsigned long long> length;
    int lengths = 0;
    std::size_t line = bytes.find("\r\n");
    while (line < end) {
        line += 2;
        const char* header = bytes.c_str() + line;
        constexpr char lengthName[] = "content-length:";
        constexpr char codingName[] = "transfer-encoding:";
        if (strncasecmp(header, codingName, sizeof codingName - 1) == 0)
            return {true, 400}; // chunked: its end is whenever the client pleases
        if (strncasecmp(header, lengthName, sizeof lengthName - 1) == 0) {
            if (++lengths > 1)
                return {true, 400}; // which one the answerer would believe is not ours to guess
            length = LengthWithin(header + sizeof lengthName - 1, bodyLimit);
            if (!length)
                return {true, 0}; // the answerer refuses it from the head alone
        }
        line = bytes.find("\r\n", line);
    }
    if (lengths == 0)
        return {true, bytes.compare(0, 5, "POST ") == 0 ? 411 : 0};
    return {bytes.size() >= end + 4 + *length, 0};
}

std::optional<unsigned long long> LengthWithin(const char* value, unsigned long long limit)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long length = std::strtoull(value, &end, 10);
    if (errno != 0 || end == value || length > limit)
        return std::nullopt;
    return length;
}

std::string ClosingAnswer(const std::string& status, const std::string& type, const std::string& body, bool withBody)
{
    std::string answer = "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (withBody)
        answer += body;
    return answer;
}
