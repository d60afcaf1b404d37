// The extension's answer as the wizard takes it. Whatever the service answers beyond the 17
// could otherwise put any line into the configuration file, so each item is checked on its
// own against the wizard's own table, the server's version and platform, the value's form and
// the rules across names; an item that fails is dropped alone, with the rule that dropped it,
// and the rest still apply.
#pragma once

#include "protocol/tuned_value.h"

#include <string>
#include <vector>

class Server;

// One item as it arrived; `decoded` is false when it did not hold four texts that decode.
struct ExtensionAnswerItem
{
    bool decoded = false;
    std::string name;
    std::string value;
    std::string kind;
    std::string reason;
};

// Stores the items `server` may take (its extensionSettings, the values and reasons of the
// slots refined, its advice) and the others, each with the rule it broke, in server.dropped.
// server.values hold the 17 just received for `target`, the server and the memory announced.
void TakeExtensionAnswer(const std::vector<ExtensionAnswerItem>& items, const TunedTarget& target, Server& server);
