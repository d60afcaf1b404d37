// The tuning service's own rules: what a sound request holds, the verdict on an announced
// machine profile, and the values of the 17 tuning parameters. No SOAP and no I/O here.
#pragma once

#include "protocol/tuning_parameters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What validateUser announced for one exchange; what getQuorvelInfo of the same exchange uses.
struct AnnouncedProfile
{
    ServerVersion version;
    bool windows = false;        // the announced operating system begins with "Windows"
    int processorCount = 0;      // 0 when the text was not a number
};

// The decoded items of a request. The items arrive as hex texts; nullptr stands for a missing
// (nil) item.
using HexItems = std::vector<const char*>;

// The 8-bit text of a hex item; false when the item is missing or not hex text. Writes
// nothing anywhere: what clients send is not the service's to log.
bool DecodeItem(const char* hex, std::string& text);

struct Announcement
{
    char verdict = '4';      // '0' sound, '1' not the service account, '2' version too old, '4' malformed
    std::string identifier;  // the exchange identifier, when the verdict is '0'
    AnnouncedProfile profile;
};

// The verdict on the 19 items of validateUser; the account is what items 16 and 17 must be.
Announcement CheckAnnouncement(const HexItems& items, const char* userId, const char* secret);

struct ValuesRequest
{
    std::string identifier;
    int usage = 0;                  // 33, 66 or 100
    std::uint64_t ramMegabytes = 0; // item 3
    bool bits32 = false;            // item 7 is "32"
};

// Reads the 7 items of getQuorvelInfo. An empty text when they are sound, else a sentence
// saying what is wrong.
std::string ReadValuesRequest(const HexItems& items, ValuesRequest& request);

// The figures the memory values come from, which the extension's rules refine.
struct MemoryPlan
{
    std::uint64_t m100 = 0;          // the memory share of the usage, in hundredths of a kB
    std::uint64_t ramKilobytes = 0;  // the announced memory
    std::uint64_t sharedBuffers = 0; // kB
    std::uint64_t connections = 0;   // max_connections by usage
};
MemoryPlan PlanMemory(const ValuesRequest& request, const AnnouncedProfile& profile);

// work_mem in kB for that many connections, never below the version's default.
std::uint64_t WorkMemKilobytes(const MemoryPlan& plan, std::uint64_t connections, const ValuesRequest& request,
                               const AnnouncedProfile& profile);

// maintenance_work_mem in kB: a sixteenth of the memory share, between the version's default
// and 8GB (2047MB where the server's long has 32 bits).
std::uint64_t MaintenanceWorkMemKilobytes(const MemoryPlan& plan, const ValuesRequest& request,
                                          const AnnouncedProfile& profile);

// The 17 values, in parameter order; an empty text for a parameter the version does not have.
std::array<std::string, tuningParameterCount> ComputeValues(const ValuesRequest& request, const AnnouncedProfile& profile);

// A memory amount in kB as the server shows it: GB or MB when it divides exactly, else kB.
std::string MemoryText(std::uint64_t kilobytes);
