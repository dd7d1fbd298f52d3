// ChillPoints: the user's points total and number of finished exercises, kept in the settings
// store under "chillPoints" and "numExercises". Nothing is cached: every read goes to the store
// and every change is written at once, so instances can be made freely.
//
// Thread-safety: main thread only (its read-modify-writes are not atomic).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include <keel/platform/UserDefaults.h>

namespace stillnook {

class ChillPoints {
 public:
  // Uses the settings store of the current sandbox.
  ChillPoints() : defaults_(platform::UserDefaults::standardUserDefaults()) {}
  // Uses `defaults` (REQUIRES: not null).
  explicit ChillPoints(std::shared_ptr<platform::UserDefaults> defaults) : defaults_(std::move(defaults)) {}

  const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

  // Returns the integer under "chillPoints"; 0 when absent or not a number.
  std::int64_t chillPoints() const;
  void setChillPoints(std::int64_t points);
  // Returns the integer under "numExercises"; 0 when absent or not a number.
  std::int64_t numExercises() const;
  void setNumExercises(std::int64_t count);
  // Adds `points` to the total, then one finished exercise to the count.
  void addPoints(std::int64_t points);

 private:
  std::shared_ptr<platform::UserDefaults> defaults_;
};

}  // namespace stillnook
