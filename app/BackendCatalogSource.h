// BackendCatalogSource: the application's catalogue source. configure() sets up the backend
// client with the application's identifiers and the server address; fetchCatalog() asks for
// every object of class "Video" (the find command on "classes/Video") and blocks until the
// answer or the failure is there.
//
// Retries: a failure marked temporary (the server cannot be reached, a 5xx reply) is tried
// again, 5 attempts in all, with waits of d, 2d, 4d and 8d before the 2nd to 5th, d drawn once
// per fetch from [initialRetryDelay, 2 x initialRetryDelay] (the client library's own schedule).
// The source keeps the schedule itself rather than leaving it to the command runner, so that
// each attempt and the time of the next one can be reported while the launch waits. Cancelling
// the fetch's token stops an attempt or a wait at once.
//
// Thread-safety: configure() on the main thread; a fetch may run on any thread.
#pragma once

#include <memory>
#include <string>

#include "app/CatalogSource.h"

namespace stillnook {

struct BackendCatalogSourceOptions {
  // The shortest wait before the second attempt, in seconds.
  double initialRetryDelay = 1.0;
  // The most attempts a fetch makes (at least 1).
  int attempts = 5;
};

// Returns the source that asks the backend at `serverURL` (scheme, host and port).
std::unique_ptr<CatalogSource> makeBackendCatalogSource(const std::string& serverURL,
                                                        BackendCatalogSourceOptions options = {});

}  // namespace stillnook
