// The one place that knows how the client library is found and bound.
#pragma once

#include "IBHeader.h"

#include <string>

// The bound entry points. Valid for calls only after EnsureClientLoaded (every
// component constructor has called it).
struct TClientApi {
#define IB_ENTRY_SLOT(name) T##name name = nullptr;
    IB_REQUIRED_ENTRY_POINTS(IB_ENTRY_SLOT)
    IB_ENTRY_SLOT(isc_rollback_retaining)
    IB_VERSION6_ENTRY_POINTS(IB_ENTRY_SLOT)
#undef IB_ENTRY_SLOT
};

const TClientApi& ClientApi();

// Loads the library when it is not loaded yet; whether it is loaded now.
// A failed load is tried again on the next call. A missing required entry
// point raises EOSError and leaves the library unloaded.
bool TryLoadClient();
// As TryLoadClient; raises client error 1 when the library cannot be loaded.
void EnsureClientLoaded();
// 6 when the library offers isc_rollback_retaining, else 5.
int ClientVersion();

// For tests: the file loaded instead of the platform's client library (empty
// restores the default), and an unload so that the next load uses it.
void SetClientLibraryPath(const std::string& path);
void UnloadClientLibrary();
