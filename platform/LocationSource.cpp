#include <keel/platform/LocationSource.h>

#include <mutex>

#include <keel/platform/Dispatch.h>

namespace platform {

namespace {

// The source of a machine without a location service: every start ends in a failure, delivered
// later on the source's queue, as a real service reports that it cannot find the device.
class UnavailableLocationSource : public LocationSource,
                                  public std::enable_shared_from_this<UnavailableLocationSource> {
 public:
  UnavailableLocationSource() : queue_(DispatchQueue::createSerial("platform.location")) {}

  void setDelegate(std::weak_ptr<LocationSourceDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }

  bool supportsAuthorizationRequests() const override { return false; }
  void requestWhenInUseAuthorization() override {}
  void requestAlwaysAuthorization() override {}

  void startUpdatingLocation() override {
    {
      std::lock_guard lock(mutex_);
      started_ = true;
    }
    queue_->async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->reportUnavailable();
    });
  }

  void stopUpdatingLocation() override {
    std::lock_guard lock(mutex_);
    started_ = false;
  }

 private:
  void reportUnavailable() {
    std::shared_ptr<LocationSourceDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      // Several starts before the first failure arrives are answered once: the client stops
      // updates when it hears of the failure.
      if (!started_) return;
      delegate = delegate_.lock();
    }
    if (delegate) {
      delegate->locationSourceDidFailWithError(*this,
                                               keel::Error::keel(kLocationUnavailableErrorCode, kLocationUnavailableMessage));
    }
  }

  DispatchQueuePtr queue_;
  std::mutex mutex_;
  std::weak_ptr<LocationSourceDelegate> delegate_;
  bool started_ = false;
};

}  // namespace

std::shared_ptr<LocationSource> LocationSource::createSystemSource() {
  return std::make_shared<UnavailableLocationSource>();
}

}  // namespace platform
