#include "installations/file_path.h"

const wxChar pathSeparator = wxT('/');

wxString JoinPath(const wxString& directory, const wxString& name)
{
    if (!directory.empty() && directory.Last() == pathSeparator)
        return directory + name;
    return directory + pathSeparator + name;
}
