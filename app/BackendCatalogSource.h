// BackendCatalogSource: the application's catalogue source. configure() sets up the backend
// client with the application's identifiers and the server address; fetchCatalog() asks for
// every object of class "Video" (the find command on "classes/Video", retried on transient
// failures) and blocks until the answer or the failure is there.
//
// Thread-safety: main thread only, during launch.
#pragma once

#include <memory>
#include <string>

#include "app/CatalogSource.h"

namespace stillnook {

// Returns the source that asks the backend at `serverURL` (scheme, host and port).
std::unique_ptr<CatalogSource> makeBackendCatalogSource(const std::string& serverURL);

}  // namespace stillnook
