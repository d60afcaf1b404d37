// The text form in which every value travels to and from the tuning service: each byte of
// an 8-bit text as two upper-case hexadecimal digits. Used by the wizard and the service.
#pragma once

// The hex form of `text` ("oltp" gives "6F6C7470"), in a block the caller releases with
// free(). A null text writes "StrToHexStr: NULL Input String" to standard error and gives null.
char* StrToHexStr(const char* text);

// The 8-bit text of `hex` (upper- or lower-case digits; a hyphen counts as 0), in a block the
// caller releases with free(). A null, odd-length or non-hex text writes
// "Invalid Hex String:<text>" to standard error and gives null; <text> is "(null)", or its
// first 64 characters with any but printable ASCII as \xNN, followed by
// "... (<length> characters)" when it is longer.
char* HexStrToStr(const char* hex);

// The value of one hexadecimal digit of either case, or -1 for any other character. The one
// reader of hex digits: the hex text here, the registry file's numbers and bytes, the escapes
// of the shared store.
int HexDigitValue(char32_t c);

// True when no character of `text` lies outside "0123456789ABCDEFabcdef-" (so an empty text
// counts); false for a null text.
bool IsHexString(const char* text);
