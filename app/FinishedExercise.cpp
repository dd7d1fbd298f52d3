#include "app/FinishedExercise.h"

#include "app/Progress.h"

namespace stillnook {

void FinishedExercise::setExerciseId(std::optional<std::string> exerciseId) {
  exerciseId_ = std::move(exerciseId);
  exercise_ = exerciseId_ ? environment_.catalog().fetchExercise(*exerciseId_) : nullptr;
}

std::string FinishedExercise::title() const { return exercise_ ? exercise_->title() : std::string(); }

std::string FinishedExercise::pointsText() const {
  return exercise_ ? std::to_string(exercise_->minutes()) : std::string();
}

bool FinishedExercise::isFavorite() const { return isKnown() && environment_.favorites().isFavorite(*exerciseId_); }

bool FinishedExercise::addToFavorite() {
  if (!isKnown()) return false;
  environment_.favorites().addFavorite(*exerciseId_);
  return true;
}

bool FinishedExercise::removeFromFavorite() {
  if (!isKnown()) return false;
  environment_.favorites().removeFavorite(*exerciseId_);
  return true;
}

bool FinishedExercise::recordPractice() {
  if (!exercise_ || !environment_.context) return false;
  const platform::DateComponents today = environment_.currentDate();
  Progress::addProgress(today.month, today.day, today.year, today.weekday, today.weekOfYear,
                        static_cast<int>(exercise_->minutes()), *environment_.context, environment_.chillPoints());
  return true;
}

}  // namespace stillnook
