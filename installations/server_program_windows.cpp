#include "installations/server_program.h"

#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <cstdint>

namespace {

std::uint32_t LittleEndian(const unsigned char* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

wxString ProgramWordSize(const wxString& program)
{
    // The DOS header points at the PE header, whose machine field names the instruction set.
    wxLogNull quiet;
    wxFFile in(program, wxT("rb"));
    unsigned char dos[64] = {};
    if (!in.IsOpened() || in.Read(dos, sizeof dos) != sizeof dos || dos[0] != 'M' || dos[1] != 'Z')
        return wxString();
    unsigned char pe[6] = {};
    if (!in.Seek(LittleEndian(dos + 0x3c, 4)) || in.Read(pe, sizeof pe) != sizeof pe || pe[0] != 'P' || pe[1] != 'E'
        || pe[2] != 0 || pe[3] != 0)
        return wxString();
    switch (LittleEndian(pe + 4, 2)) {
    case 0x014c: // i386
        return wxT("32");
    case 0x8664: // x86-64
    case 0xaa64: // ARM64
        return wxT("64");
    default:
        return wxString();
    }
}

wxString MachineWordSize()
{
    return wxIsPlatform64Bit() ? wxT("64") : wxT("32");
}

ConfFileServer FindConfFileServer(const wxString& confFile, const ServerLayouts&)
{
    // Windows installations are known through the registry; of a file chosen by hand only its
    // data directory tells the version.
    ConfFileServer found;
    found.version = DataDirectoryVersion(wxFileName(confFile).GetPath());
    return found;
}

wxString ConfFileBitness(const wxString&, const ServerLayouts&)
{
    // The registry views decide bitness on Windows; a hand-chosen file has none and is "32".
    return wxT("32");
}
