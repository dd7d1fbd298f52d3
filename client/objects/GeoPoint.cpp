#include <keel/objects/GeoPoint.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>

namespace keel {

namespace {

// Shared texts: copying a Value shares its buffer, so writing these allocates nothing.
const Value kGeoPointText("GeoPoint");

constexpr double kRadiansPerDegree = 0.017453292519943295;

std::uint64_t mix64(std::uint64_t x) {
  x = (~x) + (x << 18);
  x = x ^ (x >> 31);
  x = x * 21;
  x = x ^ (x >> 11);
  x = x * 65;
  x = x ^ (x >> 22);
  return x;
}

std::uint64_t coordinateBits(double d) {
  // -0.0 equals 0.0, so it must hash alike.
  return std::bit_cast<std::uint64_t>(d == 0.0 ? 0.0 : d);
}

double coordinate(const Dictionary& dictionary, const char* key, const char* message) {
  const Value& v = dictionary[key];
  // A JSON integer is a number like any other; only a boolean is not a coordinate.
  if (!v.isNumber() || v.isBool() || std::isnan(v.doubleValue())) {
    throw InvalidArgumentException(formatMessage(message, v));
  }
  return v.doubleValue();
}

}  // namespace

GeoPoint::GeoPoint() : ValueReference(ReferenceKind::GeoPoint) {}

std::shared_ptr<GeoPoint> GeoPoint::geoPoint() { return std::make_shared<GeoPoint>(); }

std::shared_ptr<GeoPoint> GeoPoint::geoPointWithLatitude(double latitude, double longitude) {
  auto point = std::make_shared<GeoPoint>();
  point->setLatitude(latitude);
  point->setLongitude(longitude);
  return point;
}

std::shared_ptr<GeoPoint> GeoPoint::geoPointWithDictionary(const Dictionary& dictionary) {
  auto point = std::make_shared<GeoPoint>();
  point->latitude_ = coordinate(dictionary, "latitude", "Invalid latitude type passed: %@");
  point->longitude_ = coordinate(dictionary, "longitude", "Invalid longitude type passed: %@");
  return point;
}

void GeoPoint::setLatitude(double latitude) {
  parameterAssert(latitude >= -90.0 && latitude <= 90.0, "`latitude` is out of range [-90.0, 90.0]: %f",
                  latitude);
  latitude_ = latitude;
}

void GeoPoint::setLongitude(double longitude) {
  parameterAssert(longitude >= -180.0 && longitude <= 180.0,
                  "`longitude` is out of range [-180.0, 180.0]: %f", longitude);
  longitude_ = longitude;
}

double GeoPoint::distanceInRadiansTo(const GeoPoint& point) const {
  double lat1 = latitude_ * kRadiansPerDegree, lon1 = longitude_ * kRadiansPerDegree;
  double lat2 = point.latitude_ * kRadiansPerDegree, lon2 = point.longitude_ * kRadiansPerDegree;
  double a = std::pow(std::sin((lat1 - lat2) / 2.0), 2.0);
  double b = std::pow(std::sin((lon1 - lon2) / 2.0), 2.0);
  // Out-of-range latitudes make the cosines negative; h must stay a valid sine squared.
  double h = std::clamp(a + std::cos(lat1) * std::cos(lat2) * b, 0.0, 1.0);
  return 2.0 * std::asin(std::sqrt(h));
}

double GeoPoint::distanceInMilesTo(const GeoPoint& point) const {
  return distanceInRadiansTo(point) * kEarthRadiusMiles;
}

double GeoPoint::distanceInKilometersTo(const GeoPoint& point) const {
  return distanceInRadiansTo(point) * kEarthRadiusKilometers;
}

Dictionary GeoPoint::encodeIntoDictionary() const {
  return Dictionary{{"__type", kGeoPointText}, {"latitude", Value(latitude_)}, {"longitude", Value(longitude_)}};
}

std::shared_ptr<GeoPoint> GeoPoint::copy() const {
  auto point = std::make_shared<GeoPoint>();
  point->latitude_ = latitude_;
  point->longitude_ = longitude_;
  return point;
}

bool GeoPoint::isEqual(const ValueReference& other) const {
  if (&other == this) return true;
  if (other.referenceKind() != ReferenceKind::GeoPoint) return false;
  const auto& o = static_cast<const GeoPoint&>(other);
  return o.latitude_ == latitude_ && o.longitude_ == longitude_;
}

std::size_t GeoPoint::hash() const {
  std::uint64_t hLat = mix64(coordinateBits(latitude_));
  std::uint64_t hLon = mix64(coordinateBits(longitude_));
  return static_cast<std::size_t>(mix64((hLat << 32) | hLon));
}

std::string GeoPoint::description() const {
  return formatMessage("<%@: %p, latitude: %f, longitude: %f>", className(), static_cast<const void*>(this),
                       latitude_, longitude_);
}

}  // namespace keel
