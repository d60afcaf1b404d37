// The per-user settings store of this platform, as the toolkit's config interface.
#pragma once

#include <memory>

class wxConfigBase;

// The store, opened afresh (every reader sees the latest saved state). With `forWriting`
// the place that holds it is created first if it is missing; a failure there is logged.
std::unique_ptr<wxConfigBase> OpenSettingsStore(bool forWriting);
