// Environment references in registry texts, expanded by the system itself.
#include "installations/registry_key.h"

#include <windows.h>

#include <vector>

wxString ExpandEnvironmentReferences(const wxString& text)
{
    const std::wstring source = text.ToStdWstring();
    std::vector<wchar_t> buffer(source.size() + 1);
    for (;;) {
        const DWORD needed = ExpandEnvironmentStringsW(source.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (needed == 0)
            return text; // as stored, rather than nothing
        if (needed <= buffer.size())
            return wxString(buffer.data());
        buffer.resize(needed); // a variable may change between the calls: ask again
    }
}
