// Hex text travels both ways between the wizard and the service: any text survives the round
// trip, and decoding what came from the network either refuses it or gives text that encodes
// back to the same digits.
#include "fuzz/fuzz_check.h"
#include "protocol/hex_text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The digits as the encoder writes them: upper case, and a hyphen read as 0.
std::string Canonical(const std::string& hex)
{
    std::string canonical;
    for (char c : hex)
        canonical += c == '-' ? '0' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return canonical;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    // C strings on both ends: the input up to its first NUL.
    const std::string input(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));

    char* hex = StrToHexStr(input.c_str());
    Require(hex != nullptr, "any text encodes");
    Require(std::strlen(hex) == 2 * input.size(), "two digits per byte");
    Require(IsHexString(hex), "the encoding is hex text");
    char* back = HexStrToStr(hex);
    Require(back != nullptr && input == back, "the round trip gives the text back");
    std::free(back);
    std::free(hex);

    char* decoded = HexStrToStr(input.c_str());
    if (decoded != nullptr) {
        Require(IsHexString(input.c_str()) && input.size() % 2 == 0, "only even-length hex text decodes");
        // A decoded NUL ends the C string early; compare what it holds.
        char* again = StrToHexStr(decoded);
        Require(Canonical(input).compare(0, std::strlen(again), again) == 0, "decoded text encodes back to its digits");
        std::free(again);
        std::free(decoded);
    }
    return 0;
}
