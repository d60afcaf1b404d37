// Whatever the check lets through is written into postgresql.conf as one token after
// "name = ": it must never carry a line break, a quote, a comment, white space or a control
// character, and must stay short.
#include "fuzz/fuzz_check.h"
#include "tuning/tuned_value.h"
#include "tuning/tuning_parameters.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the parameter (slots past the table included), the rest is the value.
    const std::size_t slot = data[0] % (tuningParameterCount + 2);
    const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);
    if (!IsSoundTunedValue(slot, value))
        return 0;
    Require(slot < tuningParameterCount, "no value is sound for a slot outside the table");
    Require(value.size() <= 32, "a sound value is short");
    for (const char c : value) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
        Require(plain, "a sound value holds only digits, letters and a decimal point");
    }
    return 0;
}
