// FinishedExercise: the completion screen without its widgets. It looks the finished exercise up
// by the id the exercise screen hands over, says what the screen shows, keeps the favourite
// toggle's store side, and records the practice when the user goes home.
//
// Without a known exercise (no id, or an id the catalogue no longer has) the labels are empty,
// the favourite toggle and sharing have nothing to act on, and nothing is recorded.
//
// Thread-safety: main thread only, like the record context it uses.
#pragma once

#include <optional>
#include <string>

#include "app/AppEnvironment.h"
#include "app/Exercise.h"

namespace stillnook {

class FinishedExercise {
 public:
  explicit FinishedExercise(AppEnvironment environment) : environment_(std::move(environment)) {}

  const std::optional<std::string>& exerciseId() const { return exerciseId_; }
  // Sets the id and looks the exercise up (none for an unknown id).
  void setExerciseId(std::optional<std::string> exerciseId);
  const ExercisePtr& exercise() const { return exercise_; }

  // Returns the exercise's title, or an empty text.
  std::string title() const;
  // Returns the points the exercise is worth (its minutes) as decimal text, or an empty text.
  std::string pointsText() const;
  // Returns true iff there is an exercise to mark as a favourite, share or record.
  bool isKnown() const { return exercise_ && exerciseId_; }
  bool isFavorite() const;
  // Puts the exercise at the front of the favourites. Returns false (changing nothing) when
  // there is no exercise.
  bool addToFavorite();
  // Removes the exercise from the favourites. Returns false when there is no exercise.
  bool removeFromFavorite();
  // Adds the exercise's minutes to today's practice record, saves it and awards the points.
  // Returns false, recording nothing, without an exercise or without a record context.
  bool recordPractice();

 private:
  AppEnvironment environment_;
  std::optional<std::string> exerciseId_;
  ExercisePtr exercise_;
};

}  // namespace stillnook
