#include "service/proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr std::string_view textSignature = "PROXY ";
constexpr std::string_view binarySignature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t textLimit = 107; // the line with its CR LF, as the protocol bounds it

ProxyHeader Invalid()
{
    ProxyHeader header;
    header.state = ProxyHeader::State::Invalid;
    return header;
}

// Whether `bytes` and `signature` agree as far as both go.
bool Starts(std::string_view bytes, std::string_view signature)
{
    const std::size_t common = std::min(bytes.size(), signature.size());
    return bytes.substr(0, common) == signature.substr(0, common);
}

// A port in plain decimal, no leading zero.
bool ReadPort(const std::string& text, std::uint16_t& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        (text.size() > 1 && text[0] == '0'))
        return false;
    const unsigned long value = std::stoul(text);
    port = static_cast<std::uint16_t>(value);
    return value <= 65535;
}

// "PROXY TCP4 SOURCE DESTINATION SPORT DPORT\r\n", TCP6 alike, or "PROXY UNKNOWN ...\r\n".
ProxyHeader ReadText(std::string_view bytes)
{
    // Printable text up to its CR LF, within the bound: a NUL would end an address early.
    std::size_t end = 0;
    for (; end < std::min(bytes.size(), textLimit - 1); ++end) {
        const unsigned char c = static_cast<unsigned char>(bytes[end]);
        if (c == '\r')
            break;
        if (c < 0x20 || c > 0x7e)
            return Invalid();
    }
    if (end == textLimit - 1 || (end + 1 < bytes.size() && bytes[end + 1] != '\n'))
        return Invalid();
    if (end + 1 >= bytes.size())
        return {};
    ProxyHeader header;
    header.state = ProxyHeader::State::Complete;
    header.length = end + 2;
    std::string fields[6];
    std::size_t count = 0;
    const std::string line(bytes.substr(textSignature.size(), end - textSignature.size()));
    for (std::size_t start = 0; start <= line.size() && count < 6;) {
        const std::size_t space = std::min(line.find(' ', start), line.size());
        fields[count++] = line.substr(start, space - start);
        start = space + 1;
    }
    if (fields[0] == "UNKNOWN")
        return header;
    const bool four = fields[0] == "TCP4", six = fields[0] == "TCP6";
    if ((!four && !six) || count != 5)
        return Invalid();
    std::uint16_t port = 0, destinationPort = 0;
    if (!ReadPort(fields[3], port) || !ReadPort(fields[4], destinationPort))
        return Invalid();
    if (four) {
        auto& client = reinterpret_cast<sockaddr_in&>(header.client);
        in_addr destination{};
        if (inet_pton(AF_INET, fields[1].c_str(), &client.sin_addr) != 1 ||
            inet_pton(AF_INET, fields[2].c_str(), &destination) != 1)
            return Invalid();
        client.sin_family = AF_INET;
        client.sin_port = htons(port);
    } else {
        auto& client = reinterpret_cast<sockaddr_in6&>(header.client);
        in6_addr destination{};
        if (inet_pton(AF_INET6, fields[1].c_str(), &client.sin6_addr) != 1 ||
            inet_pton(AF_INET6, fields[2].c_str(), &destination) != 1)
            return Invalid();
        client.sin6_family = AF_INET6;
        client.sin6_port = htons(port);
    }
    header.carriesClient = true;
    return header;
}

// The 12-byte signature, version and command, family and protocol, the length of what
// follows, then the addresses (and extensions, which are skipped).
ProxyHeader ReadBinary(std::string_view bytes)
{
    if (bytes.size() < 16)
        return {};
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); };
    const std::size_t following = static_cast<std::size_t>(byte(14)) << 8 | byte(15);
    const std::uint8_t version = byte(12) >> 4, command = byte(12) & 0x0f;
    if (version != 2 || command > 1 || 16 + following > proxyHeaderLimit)
        return Invalid();
    if (bytes.size() < 16 + following)
        return {};
    ProxyHeader header;
    header.state = ProxyHeader::State::Complete;
    header.length = 16 + following;
    if (command == 0)
        return header; // LOCAL: the balancer's own connection, such as a health check
    const std::uint8_t family = byte(13) >> 4, protocol = byte(13) & 0x0f;
    const char* addresses = bytes.data() + 16;
    if (family == 1 && following >= 12) {
        auto& client = reinterpret_cast<sockaddr_in&>(header.client);
        client.sin_family = AF_INET;
        std::memcpy(&client.sin_addr, addresses, 4);
        std::memcpy(&client.sin_port, addresses + 8, 2);
    } else if (family == 2 && following >= 36) {
        auto& client = reinterpret_cast<sockaddr_in6&>(header.client);
        client.sin6_family = AF_INET6;
        std::memcpy(&client.sin6_addr, addresses, 16);
        std::memcpy(&client.sin6_port, addresses + 32, 2);
    } else if (family == 1 || family == 2) {
        return Invalid(); // too short for its addresses
    } else {
        return header; // unspecified or a unix socket: no address to count the client by
    }
    // A stream is what this service serves; a datagram's addresses would be no client of it.
    if (protocol != 1)
        return Invalid();
    header.carriesClient = true;
    return header;
}

} // namespace

ProxyHeader ReadProxyHeader(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    if (Starts(bytes, textSignature))
        return bytes.size() < textSignature.size() ? ProxyHeader{} : ReadText(bytes);
    if (Starts(bytes, binarySignature))
        return bytes.size() < binarySignature.size() ? ProxyHeader{} : ReadBinary(bytes);
    return Invalid();
}
