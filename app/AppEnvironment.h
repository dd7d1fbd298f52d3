// AppEnvironment: everything a screen reads and writes besides its own widgets, handed to each
// screen when it is made: the record context, the settings store behind points and favourites,
// the thumbnail source and the clock. Nothing here is looked up globally, so a test can give two
// screens two different worlds.
//
// Thread-safety: a plain value; what it points to is main-thread only.
// Ownership: shared with whoever made it (the application delegate owns the context and the
// settings store for the life of the process).
#pragma once

#include <functional>
#include <memory>

#include "app/CatalogData.h"
#include "app/ChillPoints.h"
#include "app/Favorites.h"
#include "app/RecordStore.h"
#include "app/ThumbnailSource.h"
#include <keel/platform/Calendar.h>
#include <keel/platform/UserDefaults.h>

namespace stillnook {

struct AppEnvironment {
  using Clock = std::function<platform::DateComponents()>;

  // The record context; none means there is nothing to show and nothing is recorded.
  std::shared_ptr<ManagedObjectContext> context;
  // The settings store that holds points and favourites.
  std::shared_ptr<platform::UserDefaults> defaults;
  // Thumbnail downloads; none shows no pictures.
  std::shared_ptr<ThumbnailSource> thumbnails;
  // Today's date in the user's calendar; empty means the system clock.
  Clock today;

  CatalogData catalog() const { return CatalogData(context); }
  // REQUIRES for chillPoints() and favorites(): `defaults` is set.
  ChillPoints chillPoints() const { return ChillPoints(defaults); }
  Favorites favorites() const { return Favorites(defaults); }
  // Returns today's date from `today`, or from the system clock.
  platform::DateComponents currentDate() const {
    return today ? today() : platform::dateComponents(std::chrono::system_clock::now());
  }
};

}  // namespace stillnook
