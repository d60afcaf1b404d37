#include "installations/file_path.h"

#include <wx/filefn.h>

// The toolkit knows each platform's separator.
const wxChar pathSeparator = wxFILE_SEP_PATH;

wxString JoinPath(const wxString& directory, const wxString& name)
{
    if (!directory.empty() && directory.Last() == pathSeparator)
        return directory + name;
    return directory + pathSeparator + name;
}
