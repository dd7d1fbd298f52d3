#include <keel/objects/GeoPoint.h>

#include <cmath>
#include <numbers>
#include <regex>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/Decoder.h>

namespace keel {
namespace {

template <typename F>
std::string invalidArgument(F&& f) {
  try {
    f();
  } catch (const InvalidArgumentException& e) {
    return e.reason();
  }
  return "no exception";
}

Dictionary json(std::string_view text) {
  return JSONSerialization::JSONObjectFromString(text).value_or(Value()).dictionaryValue();
}

TEST(GeoPointTest, SettersKeepThePointInRangeBoundsIncluded) {
  auto point = GeoPoint::geoPoint();
  for (double ok : {-90.0, 90.0, 0.0}) EXPECT_NO_THROW(point->setLatitude(ok));
  for (double ok : {-180.0, 180.0}) EXPECT_NO_THROW(point->setLongitude(ok));
  EXPECT_EQ(invalidArgument([&] { point->setLatitude(90.0000001); }),
            "`latitude` is out of range [-90.0, 90.0]: 90.000000");
  EXPECT_EQ(invalidArgument([&] { point->setLongitude(-180.5); }),
            "`longitude` is out of range [-180.0, 180.0]: -180.500000");
  // NaN compares false with both bounds; it must not slip through as "not out of range".
  EXPECT_EQ(invalidArgument([&] { point->setLatitude(std::nan("")); }), "`latitude` is out of range [-90.0, 90.0]: nan");
  EXPECT_NE(invalidArgument([&] { point->setLongitude(std::nan("")); }), "no exception");
  EXPECT_EQ(point->latitude(), 0.0) << "a refused value leaves the point alone";
  EXPECT_EQ(point->longitude(), 180.0);
  EXPECT_THROW(GeoPoint::geoPointWithLatitude(0, 181), InvalidArgumentException);
}

TEST(GeoPointTest, ReadsItsJSONFormWithoutTheRangeCheck) {
  // Integers are numbers too: a server may write 10 rather than 10.0.
  auto whole = GeoPoint::geoPointWithDictionary(json(R"({"__type":"GeoPoint","latitude":10,"longitude":-20})"));
  EXPECT_EQ(whole->latitude(), 10.0);
  EXPECT_EQ(whole->longitude(), -20.0);
  auto far = GeoPoint::geoPointWithDictionary(json(R"({"latitude":100.5,"longitude":0})"));
  EXPECT_EQ(far->latitude(), 100.5);
  // Copying such a point copies it; it does not re-run the setters' checks.
  std::shared_ptr<GeoPoint> copy;
  ASSERT_NO_THROW(copy = far->copy());
  EXPECT_TRUE(copy->isEqual(*far));
  EXPECT_NE(copy.get(), far.get());

  EXPECT_EQ(invalidArgument([] { GeoPoint::geoPointWithDictionary(json(R"({"latitude":"1","longitude":2})")); }),
            "Invalid latitude type passed: 1");
  EXPECT_EQ(invalidArgument([] { GeoPoint::geoPointWithDictionary(json(R"({"latitude":1,"longitude":false})")); }),
            "Invalid longitude type passed: 0");
  EXPECT_EQ(invalidArgument([] { GeoPoint::geoPointWithDictionary(json(R"({"latitude":1})")); }),
            "Invalid longitude type passed: <null>");

  auto encoded = GeoPoint::geoPointWithLatitude(1.5, -2)->encodeIntoDictionary();
  EXPECT_EQ(encoded.size(), 3u);
  EXPECT_EQ(encoded["__type"], Value("GeoPoint"));
  EXPECT_EQ(encoded["latitude"].numberKind(), Value::NumberKind::Double);
  EXPECT_EQ(encoded["longitude"], Value(-2.0));
  // Through text and the decoder, an integral coordinate comes back as the same point.
  Value back = Decoder::objectDecoder()->decodeObject(
      *JSONSerialization::JSONObjectFromString(JSONSerialization::stringFromJSONObject(Value(encoded))));
  ASSERT_NE(back.as<GeoPoint>(), nullptr);
  EXPECT_TRUE(back.as<GeoPoint>()->isEqual(*GeoPoint::geoPointWithLatitude(1.5, -2)));
}

TEST(GeoPointTest, MeasuresGreatCircleDistances) {
  auto origin = GeoPoint::geoPoint();
  auto antipodal = GeoPoint::geoPointWithLatitude(0, 180);
  EXPECT_EQ(origin->distanceInRadiansTo(*origin), 0.0);
  EXPECT_DOUBLE_EQ(origin->distanceInRadiansTo(*antipodal), std::numbers::pi);
  EXPECT_DOUBLE_EQ(origin->distanceInMilesTo(*antipodal), 3958.8 * std::numbers::pi);
  EXPECT_DOUBLE_EQ(origin->distanceInKilometersTo(*antipodal), 6371.0 * std::numbers::pi);
  // Sydney to London, about 16,990 km.
  auto sydney = GeoPoint::geoPointWithLatitude(-33.8688, 151.2093);
  auto london = GeoPoint::geoPointWithLatitude(51.5074, -0.1278);
  EXPECT_NEAR(sydney->distanceInKilometersTo(*london), 16990, 30);
  EXPECT_DOUBLE_EQ(sydney->distanceInKilometersTo(*london), london->distanceInKilometersTo(*sydney));
  // Points read from the server may lie outside the range; the distance must still be a number.
  auto north = GeoPoint::geoPointWithDictionary(json(R"({"latitude":100,"longitude":0})"));
  auto south = GeoPoint::geoPointWithDictionary(json(R"({"latitude":-100,"longitude":90})"));
  double d = north->distanceInRadiansTo(*south);
  EXPECT_FALSE(std::isnan(d));
  EXPECT_GE(d, 0.0);
  EXPECT_LE(d, std::numbers::pi);
}

TEST(GeoPointTest, EqualPointsHashAlike) {
  auto zero = GeoPoint::geoPoint();
  auto negativeZero = GeoPoint::geoPointWithLatitude(-0.0, -0.0);
  EXPECT_TRUE(zero->isEqual(*negativeZero));
  EXPECT_EQ(zero->hash(), negativeZero->hash());
  EXPECT_EQ(Value(zero), Value(negativeZero));
  auto a = GeoPoint::geoPointWithLatitude(10, 20);
  auto swapped = GeoPoint::geoPointWithLatitude(20, 10);
  EXPECT_FALSE(a->isEqual(*swapped));
  EXPECT_NE(a->hash(), swapped->hash());
  EXPECT_FALSE(a->isEqual(*GeoPoint::geoPointWithLatitude(10, 20.000000001)));
  EXPECT_TRUE(std::regex_match(a->description(),
                               std::regex(R"(<GeoPoint: 0x[0-9a-f]+, latitude: 10\.000000, longitude: 20\.000000>)")))
      << a->description();
}

}  // namespace
}  // namespace keel
