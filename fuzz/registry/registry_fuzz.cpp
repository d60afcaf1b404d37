// A .reg file as an administrator might drop into the registry folder, loaded and walked by
// discovery as the wizard does at start-up.
#include "installations/discovery.h"
#include "installations/registry_reg_file.h"
#include "installations/server.h"

#include <memory>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the machine: the 64-bit one reads both views.
    const bool is64BitSystem = data[0] & 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    RegFileRegistry registry(is64BitSystem);
    std::ostringstream warnings;
    registry.LoadText(bytes, wxT("fuzz.reg"), warnings);
    DiscoverInstallations(registry, [](const wxString&, Server* record) {
        std::unique_ptr<Server> owned(record);
        owned->GetConfFilePath();
    });
    return 0;
}
