// The extension's rules: from the facts a wizard detected, the values beyond the 17 (and the
// refinements of some of the 17) that the server of that version takes. No SOAP and no I/O.
#pragma once

#include "protocol/extension_parameters.h"
#include "service/tuning_rules.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A call of the extension: the exchange and the facts as sent ("key=value").
struct ExtensionRequest
{
    std::string identifier;
    std::vector<std::string> facts;
};

// Reads the items of getTuningExtensions: the identifier, "ext/1", then at most 32 facts. An
// empty text when they are sound, else a sentence saying what is wrong.
std::string ReadExtensionRequest(const HexItems& items, ExtensionRequest& request);

// What a wizard detected; each fact is optional, and a missing one is not known.
struct MachineFacts
{
    std::optional<std::uint64_t> cpus;
    std::optional<bool> solidState; // storage: ssd true, hdd false, unknown not known
    std::optional<std::uint64_t> hugepagesTotal;
    std::optional<std::uint64_t> hugepageKilobytes;
    std::optional<std::uint64_t> maxConnectionsNow;
    std::optional<std::uint64_t> walFreeMegabytes;
    std::vector<std::string> features; // of the server's build: lz4, zstd, llvm
};

// Reads "key=value" facts. Keys the service does not know, and values of a known key that are
// not of its form, are left out: a newer wizard may send more than this service reads. The
// memory limit is not read here: the wizard announces the smaller of it and the machine's
// memory in the profile items already.
MachineFacts ReadMachineFacts(const std::vector<std::string>& facts);

struct ExtensionItem
{
    std::string name;
    std::string value;
    ExtensionKind kind;
    std::string reason;
};

// The items for that exchange: `values` are the 17 values its getQuorvelInfo answered.
// An item is sent only where its parameter exists and only when it changes something: a
// value that differs from the version's default, or a refinement that differs from the 17's.
std::vector<ExtensionItem> ComputeExtensions(const MachineFacts& facts, const ValuesRequest& request,
                                             const AnnouncedProfile& profile,
                                             const std::array<std::string, tuningParameterCount>& values);
