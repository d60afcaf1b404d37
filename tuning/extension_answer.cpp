#include "tuning/extension_answer.h"

#include "installations/server.h"
#include "protocol/extension_parameters.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string_view>

namespace {

// The server's longest name (NAMEDATALEN less one); advice names no more than that.
constexpr std::size_t longestName = 63;
// max_worker_processes when the file does not set it.
constexpr std::uint64_t defaultWorkerProcesses = 8;

bool IsParameterName(std::string_view name)
{
    return !name.empty() && name.size() <= longestName && (name[0] < '0' || name[0] > '9') &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string_view::npos;
}

// One line of printable ASCII without "#", which would end the note line's text early.
bool IsSoundReason(std::string_view reason)
{
    return reason.size() <= extensionReasonLimit &&
           std::all_of(reason.begin(), reason.end(), [](char c) { return c >= ' ' && c <= '~' && c != '#'; });
}

// Untrusted text as the review page may show it: printable ASCII only, cut short.
wxString Shown(std::string_view text)
{
    constexpr std::size_t longest = longestName + 1;
    std::string shown;
    for (const char c : text.substr(0, longest))
        shown += c >= ' ' && c <= '~' ? c : '?';
    if (text.size() > longest)
        shown += "...";
    return wxString::FromAscii(shown.c_str());
}

wxString Text(const std::string& checked)
{
    return wxString::FromAscii(checked.c_str());
}

std::size_t SlotOf(std::string_view name)
{
    for (std::size_t slot = 0; slot < tuningParameterCount; ++slot)
        if (name == tuningParameterNames[slot])
            return slot;
    return tuningParameterCount;
}

// An item that passed the checks it can pass on its own.
struct Candidate
{
    const ExtensionAnswerItem* item = nullptr;
    ExtensionKind kind = ExtensionKind::advice;
    const ExtensionParameter* row = nullptr;
    std::size_t slot = tuningParameterCount; // refine: the slot of the 17 it replaces
};

// The rule the item breaks on its own, as the review page shows it; empty when none.
std::string RuleBroken(const ExtensionAnswerItem& item, const TunedTarget& target, const Server& server,
                       Candidate& candidate)
{
    candidate.item = &item;
    if (!item.decoded)
        return "It does not hold a name, a value, a kind and a reason.";
    if (!ReadExtensionKind(item.kind, candidate.kind))
        return "Its kind is none of set, refine and advice.";
    if (!IsSoundReason(item.reason))
        return "Its reason is not one line of at most 160 printable characters without #.";
    if (candidate.kind == ExtensionKind::advice) {
        if (!IsParameterName(item.name))
            return "Its name is no parameter's name.";
        return item.value.empty() ? "" : "Advice carries no value.";
    }
    candidate.row = FindExtensionParameter(item.name);
    candidate.slot = SlotOf(item.name);
    if (candidate.row == nullptr && candidate.slot == tuningParameterCount)
        return "Pelloran does not write this parameter.";
    if (candidate.row != nullptr && !ExtensionParameterApplies(*candidate.row, target.server.version, false))
        return "The server's version does not have it.";
    if (candidate.row != nullptr && !ExtensionParameterApplies(*candidate.row, target.server.version, target.server.windows))
        return "The server does not take it on this platform.";
    if (candidate.kind == ExtensionKind::set) {
        if (candidate.slot != tuningParameterCount)
            return "One of the 17 values is changed only by a refine.";
        return IsSoundExtensionValue(*candidate.row, item.value, target) ? "" : "The server does not take this value.";
    }
    if (candidate.slot == tuningParameterCount)
        return "Only one of the 17 values can be refined.";
    if (server.values[candidate.slot].empty())
        return "It refines a value the service did not send.";
    // The form's ranges hold the rules of one value; on 10 and 11 the least max_connections
    // already counts the WAL senders.
    return !item.value.empty() && IsSoundTunedValue(candidate.slot, item.value, target) ? ""
                                                                                        : "The server does not take this value.";
}

std::uint64_t Count(const std::string& checked)
{
    return std::stoull(checked);
}

} // namespace

void TakeExtensionAnswer(const std::vector<ExtensionAnswerItem>& items, const TunedTarget& target, Server& server)
{
    const auto drop = [&server](std::string_view name, const std::string& rule) {
        server.dropped.push_back({Shown(name), wxString::FromAscii(rule.c_str())});
    };
    std::vector<Candidate> taken;
    std::set<std::string> named;
    const std::size_t read = std::min(items.size(), extensionAnswerLimit);
    for (std::size_t i = 0; i < read; ++i) {
        Candidate candidate;
        std::string rule = RuleBroken(items[i], target, server, candidate);
        if (rule.empty() && !named.insert(items[i].name).second)
            rule = "It is given more than once.";
        if (rule.empty())
            taken.push_back(candidate);
        else
            drop(items[i].name, rule);
    }
    if (items.size() > read)
        drop("", "The answer held " + std::to_string(items.size()) + " items; those beyond the first " +
                     std::to_string(extensionAnswerLimit) + " were not read.");

    // The rules across names, with the values as they will stand.
    std::uint64_t workerProcesses = defaultWorkerProcesses;
    for (const Candidate& c : taken)
        if (c.kind == ExtensionKind::set && c.item->name == "max_worker_processes")
            workerProcesses = Count(c.item->value);
    std::array<std::string_view, tuningParameterCount> values;
    std::array<std::string, tuningParameterCount> narrowValues;
    for (std::size_t slot = 0; slot < tuningParameterCount; ++slot) {
        narrowValues[slot] = server.values[slot].ToStdString();
        values[slot] = narrowValues[slot];
    }
    for (const Candidate& c : taken) {
        const ExtensionAnswerItem& item = *c.item;
        switch (c.kind) {
        case ExtensionKind::set:
            if (item.name == "max_parallel_workers" && Count(item.value) > workerProcesses) {
                drop(item.name, "It exceeds max_worker_processes (" + std::to_string(workerProcesses) + ").");
                continue;
            }
            server.extensionSettings.push_back({Text(item.name), Text(item.value), Text(item.reason), c.row->restart});
            break;
        case ExtensionKind::refine: {
            const std::string_view received = values[c.slot];
            values[c.slot] = item.value;
            if (!AreSoundTogether(values, target)) {
                values[c.slot] = received;
                drop(item.name, "It does not go with the other values for this server.");
                continue;
            }
            server.values[c.slot] = Text(item.value);
            server.reasons[c.slot] = Text(item.reason);
            break;
        }
        case ExtensionKind::advice:
            server.advice.push_back({Text(item.name), Text(item.reason)});
            break;
        }
    }
}
