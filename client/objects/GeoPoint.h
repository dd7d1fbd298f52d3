// GeoPoint: a position on the Earth, latitude and longitude in degrees, as the backend stores it
// in object fields and compares it in location queries. Setters keep the point in range
// (latitude [-90, 90], longitude [-180, 180], bounds included); a point read from the backend's
// JSON form is taken as it is, without the range check, so that whatever the server holds can be
// read back and written again unchanged.
//
// Thread-safety: not locked; a point is used under its owning object's lock, like any field
// value. Distinct points may be used on different threads.
#pragma once

#include <memory>
#include <string>

#include <keel/base/Value.h>

namespace keel {

class GeoPoint : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::GeoPoint;
  using ReferenceKindRoot = GeoPoint;

  // The miles and kilometres of one radian of a great circle.
  static constexpr double kEarthRadiusMiles = 3958.8;
  static constexpr double kEarthRadiusKilometers = 6371.0;

  // A point at (0, 0).
  GeoPoint();

  // Returns a new point at (0, 0).
  static std::shared_ptr<GeoPoint> geoPoint();
  // Returns a new point; throws InvalidArgumentException as the setters do.
  static std::shared_ptr<GeoPoint> geoPointWithLatitude(double latitude, double longitude);
  // Returns the point a JSON form describes. "latitude" and "longitude" must be numbers (any
  // numeric kind but a boolean), else InvalidArgumentException "Invalid latitude type passed: %@"
  // / "Invalid longitude type passed: %@". "__type" is not examined and the range is not checked.
  static std::shared_ptr<GeoPoint> geoPointWithDictionary(const Dictionary& dictionary);

  double latitude() const { return latitude_; }
  double longitude() const { return longitude_; }
  // Throws InvalidArgumentException "`latitude` is out of range [-90.0, 90.0]: %f" for a value
  // outside the range or NaN.
  void setLatitude(double latitude);
  // Throws InvalidArgumentException "`longitude` is out of range [-180.0, 180.0]: %f" likewise.
  void setLongitude(double longitude);

  // Great-circle (haversine) distances. Defined for points outside the range as well.
  double distanceInRadiansTo(const GeoPoint& point) const;
  double distanceInMilesTo(const GeoPoint& point) const;
  double distanceInKilometersTo(const GeoPoint& point) const;

  // Returns {"__type": "GeoPoint", "latitude": lat, "longitude": lon} (doubles).
  Dictionary encodeIntoDictionary() const;
  // Returns a new point with the same coordinates, whether or not they are in range.
  std::shared_ptr<GeoPoint> copy() const;

  std::string className() const override { return "GeoPoint"; }
  // Equal when both coordinates compare equal as doubles (so 0.0 equals -0.0).
  bool isEqual(const ValueReference& other) const override;
  // Agrees with isEqual: -0.0 hashes as 0.0.
  std::size_t hash() const override;
  // "<GeoPoint: 0x..., latitude: %f, longitude: %f>"
  std::string description() const override;

 private:
  double latitude_ = 0.0;
  double longitude_ = 0.0;
};

}  // namespace keel
