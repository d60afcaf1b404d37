#include "protocol/hex_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int DigitValue(char c)
{
    return c == '-' ? 0 : HexDigitValue(static_cast<unsigned char>(c));
}

// What came from the network reaches a terminal only as printable characters and in a
// bounded excerpt: the first 64 characters, others as \xNN, then the whole length.
void ReportInvalidHex(const char* hex)
{
    if (hex == nullptr) {
        std::fputs("Invalid Hex String:(null)\n", stderr);
        return;
    }
    constexpr std::size_t excerptLength = 64;
    const std::size_t length = std::strlen(hex);
    std::string line = "Invalid Hex String:";
    for (std::size_t i = 0; i < length && i < excerptLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(hex[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            line += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            line += escaped;
        }
    }
    if (length > excerptLength)
        line += "... (" + std::to_string(length) + " characters)";
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

} // namespace

char* StrToHexStr(const char* text)
{
    if (text == nullptr) {
        std::fputs("StrToHexStr: NULL Input String\n", stderr);
        return nullptr;
    }
    static const char digits[] = "0123456789ABCDEF";
    const std::size_t length = std::strlen(text);
    char* hex = static_cast<char*>(std::malloc(2 * length + 1));
    if (hex == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < length; ++i) {
        // Unsigned, so that a byte above 127 gives its own two digits.
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        hex[2 * i] = digits[byte >> 4];
        hex[2 * i + 1] = digits[byte & 0x0F];
    }
    hex[2 * length] = '\0';
    return hex;
}

char* HexStrToStr(const char* hex)
{
    if (hex == nullptr || std::strlen(hex) % 2 != 0 || !IsHexString(hex)) {
        ReportInvalidHex(hex);
        return nullptr;
    }
    const std::size_t length = std::strlen(hex) / 2;
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(DigitValue(hex[2 * i]) * 16 + DigitValue(hex[2 * i + 1]));
    text[length] = '\0';
    return text;
}

int HexDigitValue(char32_t c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    return -1;
}

bool IsHexString(const char* text)
{
    if (text == nullptr)
        return false;
    return text[std::strspn(text, "0123456789ABCDEFabcdef-")] == '\0';
}
