#include <keel/services/LocationManager.h>

#include <exception>
#include <utility>

#include <keel/base/Logger.h>
#include <keel/core/CoreManager.h>
#include <keel/platform/Dispatch.h>

namespace keel {

namespace {

// The running application's state is kept for the main thread. Off it, the manager assumes the
// foreground rather than block on a main thread that may itself be waiting for a location.
platform::ApplicationState runningApplicationState() {
  if (platform::isMainThread()) return platform::Application::sharedApplication().applicationState();
  return platform::ApplicationState::Active;
}

}  // namespace

LocationManager::LocationManager(std::shared_ptr<platform::LocationSource> source, ApplicationStateReader applicationState,
                                 Dictionary infoDictionary)
    : source_(std::move(source)), applicationState_(std::move(applicationState)), infoDictionary_(std::move(infoDictionary)) {
  blockSet_.reserve(1);
}

std::shared_ptr<LocationManager> LocationManager::create() {
  return initWithSystemLocationManager(platform::LocationSource::createSystemSource());
}

std::shared_ptr<LocationManager> LocationManager::initWithSystemLocationManager(std::shared_ptr<platform::LocationSource> source) {
  return initWithSystemLocationManager(std::move(source), runningApplicationState, Dictionary());
}

std::shared_ptr<LocationManager> LocationManager::initWithSystemLocationManager(std::shared_ptr<platform::LocationSource> source,
                                                                                ApplicationStateReader applicationState,
                                                                                Dictionary infoDictionary) {
  std::shared_ptr<LocationManager> manager(
      new LocationManager(std::move(source), std::move(applicationState), std::move(infoDictionary)));
  manager->source_->setDelegate(manager);
  return manager;
}

LocationManager::~LocationManager() { source_->setDelegate({}); }

void LocationManager::addBlockForCurrentLocation(LocationBlock block) {
  if (!block) return;
  {
    std::lock_guard lock(blockSetMutex_);
    blockSet_.push_back(std::move(block));
  }
  requestAuthorization();
  // Every call starts the source: a caller arriving while a request is out simply waits with
  // the others, and one arriving just after a delivery stopped the source starts it again.
  source_->startUpdatingLocation();
}

void LocationManager::addBlockForCurrentCoordinate(CoordinateBlock block) {
  if (!block) return;
  addBlockForCurrentLocation([block = std::move(block)](std::optional<platform::Location> location, ErrorPtr error) {
    platform::Location coordinate = location.value_or(platform::Location{});
    block(coordinate.latitude, coordinate.longitude, std::move(error));
  });
}

std::size_t LocationManager::pendingBlockCount() const {
  std::lock_guard lock(blockSetMutex_);
  return blockSet_.size();
}

void LocationManager::requestAuthorization() {
  if (!source_->supportsAuthorizationRequests()) return;
  bool inBackground = applicationState_ && applicationState_() == platform::ApplicationState::Background;
  if (!inBackground && infoDictionary_.contains(kLocationWhenInUseUsageDescriptionKey)) {
    source_->requestWhenInUseAuthorization();
  } else {
    source_->requestAlwaysAuthorization();
  }
}

void LocationManager::locationSourceDidUpdateLocations(platform::LocationSource&,
                                                       const std::vector<platform::Location>& locations) {
  if (locations.empty()) return;
  platform::Location location = locations.back();
  source_->stopUpdatingLocation();
  deliver(location, nullptr);
}

void LocationManager::locationSourceDidFailWithError(platform::LocationSource&, const ErrorPtr& error) {
  source_->stopUpdatingLocation();
  deliver(std::nullopt, error);
}

void LocationManager::deliver(const std::optional<platform::Location>& location, const ErrorPtr& error) {
  std::vector<LocationBlock> blocks;
  {
    std::lock_guard lock(blockSetMutex_);
    blocks.swap(blockSet_);
    blockSet_.reserve(1);
  }
  for (auto& block : blocks) {
    try {
      block(location, error);
    } catch (const std::exception& e) {
      Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Error, LoggingTag::Common,
                                                 "A current-location callback threw: %@", e.what());
    } catch (...) {
      Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Error, LoggingTag::Common,
                                                 "A current-location callback threw.");
    }
  }
}

std::shared_ptr<LocationManager> coreLocationManager(const std::shared_ptr<CoreManager>& coreManager) {
  return coreManager->component<LocationManager>([](CoreManager&) { return LocationManager::create(); });
}

void setCoreLocationManager(const std::shared_ptr<CoreManager>& coreManager, std::shared_ptr<LocationManager> manager) {
  coreManager->setComponent<LocationManager>(std::move(manager));
}

}  // namespace keel
