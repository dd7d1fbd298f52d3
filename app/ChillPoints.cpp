#include "app/ChillPoints.h"

namespace stillnook {
namespace {

std::int64_t integerForKey(const platform::UserDefaults& defaults, const char* key) {
  const keel::Value value = defaults.objectForKey(key);
  return value.isNumber() ? value.int64Value() : 0;
}

}  // namespace

std::int64_t ChillPoints::chillPoints() const { return integerForKey(*defaults_, "chillPoints"); }

void ChillPoints::setChillPoints(std::int64_t points) { defaults_->setObject(keel::Value(points), "chillPoints"); }

std::int64_t ChillPoints::numExercises() const { return integerForKey(*defaults_, "numExercises"); }

void ChillPoints::setNumExercises(std::int64_t count) { defaults_->setObject(keel::Value(count), "numExercises"); }

void ChillPoints::addPoints(std::int64_t points) {
  setChillPoints(chillPoints() + points);
  setNumExercises(numExercises() + 1);
}

}  // namespace stillnook
