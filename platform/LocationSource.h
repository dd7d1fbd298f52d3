// LocationSource: the platform's device location service. A client asks for authorisation, starts
// updates, and hears through its delegate about new fixes or a failure; it stops updates when it
// has what it wanted.
//
// This platform has no location service of its own (no GeoClue daemon on a system bus here), so
// the system source fails every start, asynchronously, with the Keel error "Location services
// are not available on this platform." (code kLocationUnavailableErrorCode). A source that does
// reach a real service implements the same interface and is chosen by createSystemSource().
//
// Delivery: the delegate is called on a serial queue that belongs to the source, never inside a
// call into the source (so a delegate may call back into the source, and a caller of
// startUpdatingLocation never sees its own callback re-entrantly). The delegate is held weakly:
// a delegate that is gone is simply not called.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <memory>
#include <vector>

#include <keel/base/Error.h>

namespace platform {

// The code of the error a source reports when the platform has no location service.
inline constexpr long kLocationUnavailableErrorCode = 1;
inline constexpr const char* kLocationUnavailableMessage = "Location services are not available on this platform.";

// One fix: a position in degrees.
struct Location {
  double latitude = 0.0;
  double longitude = 0.0;
  bool operator==(const Location&) const = default;
};

class LocationSource;

class LocationSourceDelegate {
 public:
  virtual ~LocationSourceDelegate() = default;
  // Called with the fixes gathered since the last call, oldest first (never empty).
  virtual void locationSourceDidUpdateLocations(LocationSource& source, const std::vector<Location>& locations) = 0;
  // Called when the source cannot deliver a fix.
  virtual void locationSourceDidFailWithError(LocationSource& source, const keel::ErrorPtr& error) = 0;
};

class LocationSource {
 public:
  virtual ~LocationSource() = default;

  // Returns the best source this machine offers; on a machine without a location service, one
  // that fails every start as described above.
  static std::shared_ptr<LocationSource> createSystemSource();

  // Replaces the delegate (an empty pointer clears it).
  virtual void setDelegate(std::weak_ptr<LocationSourceDelegate> delegate) = 0;

  // Returns true iff the source asks the user before it delivers fixes, so that the client must
  // request authorisation first.
  virtual bool supportsAuthorizationRequests() const = 0;
  virtual void requestWhenInUseAuthorization() = 0;
  virtual void requestAlwaysAuthorization() = 0;

  // Starts delivering fixes (or a failure) to the delegate. Starting while started is harmless.
  virtual void startUpdatingLocation() = 0;
  // Stops delivering fixes. A delivery already on its way may still arrive.
  virtual void stopUpdatingLocation() = 0;
};

}  // namespace platform
