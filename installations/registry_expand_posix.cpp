// Environment references in registry texts, expanded the way the registry's own platform
// does it: %NAME% is replaced, unknown names stay as written.
#include "installations/registry_key.h"

#include <wx/utils.h>

wxString ExpandEnvironmentReferences(const wxString& text)
{
    wxString result;
    size_t position = 0;
    while (position < text.length()) {
        const size_t open = text.find(wxT('%'), position);
        if (open == wxString::npos)
            break;
        const size_t close = text.find(wxT('%'), open + 1);
        if (close == wxString::npos)
            break;
        result += text.substr(position, open - position);
        const wxString name = text.substr(open + 1, close - open - 1);
        wxString value;
        if (!name.empty() && wxGetEnv(name, &value)) {
            result += value;
            position = close + 1;
        } else {
            // Left as written; the closing sign may open the next reference.
            result += text.substr(open, close - open);
            position = close;
        }
    }
    result += text.substr(position);
    return result;
}
