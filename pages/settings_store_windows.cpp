#include "pages/settings_store.h"

#include <wx/log.h>
#include <wx/msw/regconf.h>

#include <optional>

namespace {

// HKEY_CURRENT_USER\Software\PostgreSQL\Pelloran, whichever program opens it.
const wxChar vendorName[] = wxT("PostgreSQL");
const wxChar storeName[] = wxT("Pelloran");

} // namespace

std::unique_ptr<wxConfigBase> OpenSettingsStore(bool forWriting)
{
    // The toolkit creates the key as it opens it; a reader that cannot do so reads nothing,
    // and says nothing.
    std::optional<wxLogNull> quiet;
    if (!forWriting)
        quiet.emplace();
    auto store = std::make_unique<wxRegConfig>(storeName, vendorName, wxEmptyString, wxEmptyString,
                                               wxCONFIG_USE_LOCAL_FILE);
    // Values are typed by the user: "%TEMP%" must come back as "%TEMP%", not expanded.
    store->SetExpandEnvVars(false);
    return store;
}
