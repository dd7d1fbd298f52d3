#include "app/ExerciseBrowser.h"

#include <utility>

namespace stillnook {

ExerciseBrowser::ExerciseBrowser(CatalogData catalog, Favorites favorites)
    : catalog_(std::move(catalog)), favorites_(std::move(favorites)) {}

std::string ExerciseBrowser::title(Tab tab) {
  switch (tab) {
    case Tab::Energize: return "Energize";
    case Tab::Relax: return "Relax";
    case Tab::Favorites: return "Favorites";
  }
  return {};
}

void ExerciseBrowser::handOver(std::optional<int> minutes) {
  pickedMinutes_ = minutes;
  minutes_ = minutes;
}

bool ExerciseBrowser::countdown() {
  if (!minutes_) return true;
  if (*minutes_ > 0) *minutes_ -= 1;
  return *minutes_ <= 0;
}

std::string ExerciseBrowser::freeTimeText() const {
  return minutes_ ? "Free Time: " + std::to_string(*minutes_) + " min" : std::string();
}

void ExerciseBrowser::showCategory(Tab tab) {
  tab_ = tab;
  if (!pickedMinutes_) return;  // no length handed over: no list to show
  setExercises(catalog_.fetchExercises(title(tab), *pickedMinutes_));
}

void ExerciseBrowser::setExercises(std::optional<std::vector<ExercisePtr>> exercises) {
  exercises_ = std::move(exercises);
  if (!exercises_) return;
  index_ = 0;
  if (exercises_->empty()) {
    currentExercise_ = nullptr;
    ++displayGeneration_;
    return;
  }
  show(exercises_->front());
}

void ExerciseBrowser::show(ExercisePtr exercise) {
  if (!exercise) return;
  currentExercise_ = std::move(exercise);
  ++displayGeneration_;
}

std::string ExerciseBrowser::displayTitle() const {
  return currentExercise_ ? currentExercise_->title() : std::string(kNoExerciseTitle);
}

void ExerciseBrowser::showAt(long index) {
  index_ = index;
  show((*exercises_)[static_cast<std::size_t>(index_)]);
}

void ExerciseBrowser::next() {
  if (!exercises_ || exercises_->empty()) return;
  const long size = static_cast<long>(exercises_->size());
  showAt(index_ + 1 >= size ? 0 : index_ + 1);
}

void ExerciseBrowser::previous() {
  if (!exercises_ || exercises_->empty()) return;
  const long size = static_cast<long>(exercises_->size());
  showAt(index_ - 1 < 0 ? size - 1 : index_ - 1);
}

void ExerciseBrowser::swipe(SwipeDirection direction) {
  if (direction == SwipeDirection::Left) previous();
  else next();
}

int ExerciseBrowser::favoriteCount() const { return static_cast<int>(favorites_.favorites().size()); }

ExerciseBrowser::FavoriteRow ExerciseBrowser::favoriteRow(int row) const {
  const auto ids = favorites_.favorites();
  FavoriteRow result;
  if (row >= 0 && row < static_cast<int>(ids.size())) result.objectId = ids[static_cast<std::size_t>(row)];
  // The catalogue is replaced at every launch, so a favourite can outlive its exercise.
  ExercisePtr exercise = result.objectId.empty() ? nullptr : catalog_.fetchExercise(result.objectId);
  result.text = exercise ? std::to_string(exercise->minutes()) + " min " + exercise->title() : kUnknownFavorite;
  return result;
}

void ExerciseBrowser::selectFavorite(const std::string& objectId) {
  if (!objectId.empty()) show(catalog_.fetchExercise(objectId));
  tab_ = currentExercise_ && currentExercise_->type() == title(Tab::Energize) ? Tab::Energize : Tab::Relax;
}

}  // namespace stillnook
