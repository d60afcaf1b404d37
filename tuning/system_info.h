// Facts about this machine that the tuning exchange sends: memory figures, the machine
// profile, the locale name, and the identifier that tags one exchange. Plain 8-bit texts
// with process-wide caches; nothing here touches the user interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

constexpr std::size_t memoryTextSize = 20;
constexpr std::size_t localeNameSize = 10;
constexpr std::size_t osTextSize = 64;
constexpr std::size_t processorCountSize = 10;
constexpr std::size_t processorArchitectureSize = 64;
constexpr std::size_t processorIdentifierSize = 256;

// Total physical memory in GiB ("%.4f") and MiB ("%ld"); empty until FetchMemoryInfo succeeds.
extern char memoryGigabytes[memoryTextSize];
extern char memoryMegabytes[memoryTextSize];
// RFC 1766 name of the system's locale ("en-us"), or "Unknown"; empty until GetLocaleName.
extern char localeName[localeNameSize];

// Fills both memory texts once per process; false (texts left empty) when the figure is unavailable.
bool FetchMemoryInfo();

// The locale name, looked up on the first call and kept for the process.
const char* GetLocaleName();

// Zeroes the four buffers and fills each with its text, or leaves it empty when the text
// is unknown or does not fit with its terminating zero.
void ReadSystemProfile(char (&os)[osTextSize], char (&processorCount)[processorCountSize],
                       char (&processorArchitecture)[processorArchitectureSize],
                       char (&processorIdentifier)[processorIdentifierSize]);

// The identifier of the current exchange (a random UUID, 36 lower-case characters), created
// on first use; the text is owned here and valid until FreeExchangeId.
const char* GetExchangeId();
void FreeExchangeId();

// The pieces below are the platform's sources and the rules applied to them, exposed so
// they can be checked with chosen inputs.

// Total physical memory in bytes; false when the platform cannot tell.
bool QueryTotalMemory(std::uint64_t& totalBytes);

// Replaces the memory source (an empty function restores the platform's) and clears the
// memory cache, so the figures are computed again from the new source.
void SetTotalMemorySource(std::function<bool(std::uint64_t&)> source);

// Forgets the cached locale name, so the next GetLocaleName looks again.
void ResetLocaleName();

// The platform's RFC 1766 name of the system's locale ("en-us"), or "Unknown".
std::string LookUpLocaleName();

// The four profile texts as the platform reports them, before any size limit.
struct PlatformProfile
{
    std::string os;
    std::string processorCount;
    std::string processorArchitecture;
    std::string processorIdentifier;
};
PlatformProfile QueryPlatformProfile();

// Copies `text` into the zeroed buffer when it fits with its terminator; else leaves it empty.
void CopyProfileText(char* buffer, std::size_t size, const std::string& text);

// A new random UUID in its 36-character lower-case form.
std::string NewUuidText();
