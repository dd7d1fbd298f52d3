#include "app/CatalogSource.h"

namespace stillnook {

std::optional<std::vector<CatalogEntry>> UnconfiguredCatalogSource::fetchCatalog(keel::ErrorPtr* error,
                                                                                 const FetchContext&) {
  if (error) *error = keel::Error::keel(1, "No backend is configured for the exercise catalogue.");
  return std::nullopt;
}

}  // namespace stillnook
