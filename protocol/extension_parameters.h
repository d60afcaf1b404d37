// The parameters the tuning protocol's extension may carry beyond the 17, with the versions
// and platforms that have them. The service sends an item only where its row allows it; the
// wizard writes no name that is not here or among the 17, so a newer service can never make
// an older wizard write a name it does not know.
#pragma once

#include "protocol/server_version.h"
#include "protocol/tuned_value.h"
#include "protocol/tuning_parameters.h"

#include <cstddef>
#include <string>
#include <string_view>

// How an item of the extension's answer is used.
enum class ExtensionKind {
    set,    // written like one of the 17
    refine, // replaces the value of one of the 17 received in the same exchange
    advice, // shown, never written; its value is empty
};

struct ExtensionParameter
{
    const char* name;
    ServerVersion from;        // the first version that has it
    ServerVersion until;       // the first version without it; major 0: every later one has it
    ServerVersion windowsFrom; // on Windows, the first version where it may be set; major 0: as elsewhere
    bool restart;              // takes effect only after the server restarts
    const ParameterForm* form; // the values it takes; for one of the 17, that one's form
    std::string_view words{};  // further values it takes, separated by spaces, from wordsFrom on
    ServerVersion wordsFrom{};
};

constexpr std::size_t extensionParameterCount = 19;
extern const ExtensionParameter extensionParameters[extensionParameterCount];

// The row of `name`, or nullptr when the extension never carries it.
const ExtensionParameter* FindExtensionParameter(std::string_view name);

// Whether the server of this version and platform has the parameter and may be given it.
bool ExtensionParameterApplies(const ExtensionParameter& parameter, const ServerVersion& version, bool windows);

// Whether the server takes `value` for the parameter: one of its words, or a value of its
// form within its bounds on the target (tuned_value.h). An empty value is not one.
bool IsSoundExtensionValue(const ExtensionParameter& parameter, std::string_view value, const TunedTarget& target);

// The most items one answer or one request may hold.
constexpr std::size_t extensionAnswerLimit = 64;
constexpr std::size_t extensionFactLimit = 32;
// The longest reason, in characters.
constexpr std::size_t extensionReasonLimit = 160;

// The version of the extension this build speaks ("ext/1" in a request, "ext=1" after the
// test operation's text).
constexpr int extensionVersion = 1;

// " ext=1": what a service with the extension appends to the test operation's text.
std::string ExtensionTestSuffix();
// "ext/1": the second item of a request for the extension.
std::string ExtensionRequestTag();
// The version of the extension a test operation's text announces: N of an "ext=N" word,
// 0 when it has none (a service without the extension).
int AnnouncedExtensionVersion(std::string_view testText);

// "set", "refine" or "advice", and back; reading any other text is false.
const char* ExtensionKindName(ExtensionKind kind);
bool ReadExtensionKind(std::string_view text, ExtensionKind& kind);
