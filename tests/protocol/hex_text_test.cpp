// Hex text: the encoding of every value exchanged with the tuning service.
#include "protocol/hex_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Freed
{
    void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, Freed>;

TEST(HexText, EncodesEachByteAsTwoUpperCaseDigits)
{
    struct Case
    {
        const char* description;
        std::string text;
        const char* hex;
    };
    const Case cases[] = {
        {"plain word", "oltp", "6F6C7470"},
        {"version text", "8.3", "382E33"},
        {"empty text", "", ""},
        {"byte above 127 is unsigned, not sign-extended", "\xE9", "E9"},
        {"highest byte", "\xFF\x01", "FF01"},
    };
    for (const Case& c : cases) {
        Text hex(StrToHexStr(c.text.c_str()));
        ASSERT_NE(hex, nullptr) << c.description;
        EXPECT_STREQ(hex.get(), c.hex) << c.description;
    }
}

TEST(HexText, DecodesEitherCaseAndHyphens)
{
    struct Case
    {
        const char* description;
        const char* hex;
        std::string text;
    };
    const Case cases[] = {
        {"upper case", "6F6C7470", "oltp"},
        {"lower case", "6f6c7470", "oltp"},
        {"empty", "", ""},
        {"two hyphens make one zero byte", "--", ""},
        {"hyphen counts 0 in the low half", "4-", "@"},
        {"byte above 127", "e9", "\xE9"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        Text text(HexStrToStr(c.hex));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.description;
        ASSERT_NE(text, nullptr) << c.description;
        EXPECT_EQ(std::string(text.get()), c.text) << c.description;
    }
}

TEST(HexText, RoundTripsEveryByte)
{
    std::string all;
    for (int byte = 1; byte < 256; ++byte)
        all.push_back(static_cast<char>(byte));
    Text hex(StrToHexStr(all.c_str()));
    Text back(HexStrToStr(hex.get()));
    EXPECT_EQ(std::string(back.get()), all);
}

TEST(HexText, RejectsWhatIsNotHexWithALineOnStandardError)
{
    struct Case
    {
        const char* description;
        const char* hex;
        std::string error;
    };
    // Hex text comes from the network: it reaches a terminal escaped and cut short.
    const std::string longText = std::string(100000, 'A') + "G";
    const Case cases[] = {
        {"odd length", "ABC", "Invalid Hex String:ABC\n"},
        {"character outside the set", "4G", "Invalid Hex String:4G\n"},
        {"space", "4 ", "Invalid Hex String:4 \n"},
        {"null", nullptr, "Invalid Hex String:(null)\n"},
        {"control characters and bytes above 127 escaped", "4\n\x1B[2J\xE9", "Invalid Hex String:4\\x0A\\x1B[2J\\xE9\n"},
        {"a backslash escaped, so that an escape cannot be forged", "4\\x41", "Invalid Hex String:4\\x5Cx41\n"},
        {"long text: the first 64 characters and the length", longText.c_str(),
         "Invalid Hex String:" + std::string(64, 'A') + "... (100001 characters)\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        Text text(HexStrToStr(c.hex));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.error) << c.description;
        EXPECT_EQ(text, nullptr) << c.description;
    }
}

TEST(HexText, NullInputToTheEncoder)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(StrToHexStr(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "StrToHexStr: NULL Input String\n");
}

TEST(HexText, IsHexString)
{
    EXPECT_TRUE(IsHexString(""));
    EXPECT_TRUE(IsHexString("0123456789ABCDEFabcdef-"));
    EXPECT_FALSE(IsHexString("12G4"));
    EXPECT_FALSE(IsHexString("12\xE9"));
    EXPECT_FALSE(IsHexString(nullptr));
}

} // namespace
