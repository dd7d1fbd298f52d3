// CatalogSource: where the launch takes the exercise catalogue from. The application's source
// asks the backend for its "Video" objects through the client library; tests give their own.
//
// Thread-safety: used on the main thread only, during launch.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <keel/base/Error.h>
#include <keel/base/Value.h>

namespace stillnook {

// One backend object of class "Video": its id and its fields as the server sent them
// ("Mins", "Type", "Title", "HTMLLink", "ThumbnailImage", "MP4Link"; any may be missing or of
// another kind, which the launch checks).
struct CatalogEntry {
  std::string objectId;
  keel::Dictionary fields;
};

class CatalogSource {
 public:
  virtual ~CatalogSource() = default;
  // Configures the client library before the first fetch.
  virtual void configure() {}
  // Returns the catalogue in the server's order, or nullopt with `error` set. Blocks.
  virtual std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) = 0;
};

// The source of a build that has no backend configured: every fetch fails with a clear error.
class UnconfiguredCatalogSource : public CatalogSource {
 public:
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) override;
};

}  // namespace stillnook
