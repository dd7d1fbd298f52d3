// LocationManager: the library's one owner of the device location service. Callers ask for the
// next fix; every caller waiting when a fix (or a failure) arrives hears of it once, and the
// service is stopped until somebody asks again. One manager exists per configured client, kept
// in the core manager's slot (see coreLocationManager below).
//
// The manager is the delegate of its location source for its whole life and clears that link
// when it is destroyed; the source holds it weakly, so a fix that arrives after the manager is
// gone reaches nobody.
//
// Callbacks run on the source's delivery queue (never inside addBlock...), outside the
// manager's lock, in no promised order. A callback that throws is logged and does not keep the
// other callers from their result.
//
// Thread-safety: every member may be called from any thread.
// Ownership: held by std::shared_ptr (the core manager's slot); owns its location source.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <keel/base/Error.h>
#include <keel/base/Value.h>
#include <keel/platform/Application.h>
#include <keel/platform/LocationSource.h>

namespace keel {

class CoreManager;

// The information-dictionary key whose presence lets a foreground application ask for
// when-in-use authorisation instead of always.
inline constexpr const char* kLocationWhenInUseUsageDescriptionKey = "NSLocationWhenInUseUsageDescription";

class LocationManager : public platform::LocationSourceDelegate, public std::enable_shared_from_this<LocationManager> {
 public:
  // Called with the fix, or with no location and the error.
  using LocationBlock = std::function<void(std::optional<platform::Location> location, ErrorPtr error)>;
  // Called with the fix's coordinate, or with (0, 0) and the error.
  using CoordinateBlock = std::function<void(double latitude, double longitude, ErrorPtr error)>;
  // Returns the application's state when asked.
  using ApplicationStateReader = std::function<platform::ApplicationState()>;

  // Returns a manager over the platform's system source, the running application and the main
  // bundle (which has no information dictionary on this platform).
  static std::shared_ptr<LocationManager> create();
  static std::shared_ptr<LocationManager> initWithSystemLocationManager(std::shared_ptr<platform::LocationSource> source);
  // REQUIRES: `source` is not null.
  static std::shared_ptr<LocationManager> initWithSystemLocationManager(std::shared_ptr<platform::LocationSource> source,
                                                                        ApplicationStateReader applicationState,
                                                                        Dictionary infoDictionary);
  ~LocationManager() override;

  LocationManager(const LocationManager&) = delete;
  LocationManager& operator=(const LocationManager&) = delete;

  // Adds `block` to the callers waiting for the next fix, asks for authorisation where the
  // source wants it, and starts the source. An empty block is ignored.
  void addBlockForCurrentLocation(LocationBlock block);
  // The same, reduced to a coordinate: (0, 0) with the error on failure.
  void addBlockForCurrentCoordinate(CoordinateBlock block);

  // Returns the number of callers waiting for a fix.
  std::size_t pendingBlockCount() const;

  const std::shared_ptr<platform::LocationSource>& locationSource() const { return source_; }

  // LocationSourceDelegate. The last of `locations` is the fix handed out; an empty list is
  // ignored (the callers keep waiting).
  void locationSourceDidUpdateLocations(platform::LocationSource& source,
                                        const std::vector<platform::Location>& locations) override;
  void locationSourceDidFailWithError(platform::LocationSource& source, const ErrorPtr& error) override;

 private:
  LocationManager(std::shared_ptr<platform::LocationSource> source, ApplicationStateReader applicationState,
                  Dictionary infoDictionary);
  void requestAuthorization();
  // Empties the waiting set and calls each block with the outcome.
  void deliver(const std::optional<platform::Location>& location, const ErrorPtr& error);

  std::shared_ptr<platform::LocationSource> source_;
  ApplicationStateReader applicationState_;
  Dictionary infoDictionary_;

  mutable std::mutex blockSetMutex_;
  std::vector<LocationBlock> blockSet_;  // guarded by blockSetMutex_
};

// Returns the location manager of `coreManager`: the one in its slot, made there
// (LocationManager::create) on first use, so that threads asking at once get the same one.
// REQUIRES: `coreManager` is not null.
std::shared_ptr<LocationManager> coreLocationManager(const std::shared_ptr<CoreManager>& coreManager);
// Replaces the location manager of `coreManager` (nullptr drops it; the next
// coreLocationManager makes a new one).
void setCoreLocationManager(const std::shared_ptr<CoreManager>& coreManager, std::shared_ptr<LocationManager> manager);

}  // namespace keel
