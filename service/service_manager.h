// Telling systemd (or any supervisor that gives a NOTIFY_SOCKET) how the service stands:
// READY=1 once it accepts connections, STOPPING=1 when it begins to stop. Without the
// variable nothing is sent.
#pragma once

#include <string>

void NotifyServiceManager(const std::string& state);
