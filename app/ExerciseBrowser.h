// ExerciseBrowser: the exercise screen without its widgets. It keeps the tab on show, the list of
// the category tab last used and the position in it, the exercise on display, the free-time
// countdown and the rows of the favourites table; the screen draws what it says.
//
// The rules it keeps:
//  - The category tabs look exercises up by the length the user picked on the home screen, not by
//    the free time left on the countdown (no exercise is 14 minutes long).
//  - A new list shows its first exercise; an empty one shows none (nothing to swipe, play or hand
//    over); a failed look-up leaves no list (nothing to swipe) and the exercise shown before.
//  - Swipes step through the list and wrap both ways: right goes forward, left goes back.
//  - Picking a favourite shows it without touching the list, so the next swipe moves within the
//    category list last used; the tab follows the type of the exercise on display ("Energize",
//    anything else "Relax"). A favourite that left the catalogue keeps the display as it was.
//  - The countdown never goes below zero and stops there.
//  - Every change of the exercise on display bumps the display generation, so a thumbnail that
//    arrives after the user moved on can tell it is no longer wanted.
//
// Thread-safety: main thread only, like the record context it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/CatalogData.h"
#include "app/Exercise.h"
#include "app/Favorites.h"

namespace stillnook {

class ExerciseBrowser {
 public:
  enum class Tab { Energize, Relax, Favorites };
  enum class SwipeDirection { Left, Right };

  // One row of the favourites table: the favourite's id and the text the row shows.
  struct FavoriteRow {
    std::string objectId;
    std::string text;
  };

  static constexpr const char* kNoExerciseTitle = "No exercise of this length yet";
  static constexpr const char* kUnknownFavorite = "No longer in the catalogue";

  ExerciseBrowser(CatalogData catalog, Favorites favorites);

  // Returns the tab's title, which is also the exercise type of a category tab.
  static std::string title(Tab tab);

  // Free time.
  // Takes the length handed over by the home screen: the length the tabs look up and the free
  // time the countdown starts from.
  void handOver(std::optional<int> minutes);
  std::optional<int> pickedMinutes() const { return pickedMinutes_; }
  // Returns the free time left.
  std::optional<int> minutes() const { return minutes_; }
  void setMinutes(std::optional<int> minutes) { minutes_ = minutes; }
  // Returns true iff there is free time left to count down.
  bool hasTimeLeft() const { return minutes_ && *minutes_ > 0; }
  // Counts one minute down. Returns true iff the countdown is over (no time left).
  bool countdown();
  // Returns "Free Time: <minutes> min", or an empty text when no length was handed over.
  std::string freeTimeText() const;

  // Tabs.
  Tab tab() const { return tab_; }
  // Shows the category tab `tab` and its exercises of the picked length.
  // REQUIRES: `tab` is Energize or Relax.
  void showCategory(Tab tab);
  void showFavorites() { tab_ = Tab::Favorites; }

  // The list and the exercise on display.
  const std::optional<std::vector<ExercisePtr>>& exercises() const { return exercises_; }
  // Sets the list: a list (even an empty one) starts again at its first exercise; none keeps the
  // exercise on display but leaves nothing to step through.
  void setExercises(std::optional<std::vector<ExercisePtr>> exercises);
  long index() const { return index_; }
  const ExercisePtr& currentExercise() const { return currentExercise_; }
  // Shows `exercise`; none leaves the display as it is.
  void show(ExercisePtr exercise);
  // Returns the title to show: the exercise's, or kNoExerciseTitle when there is none.
  std::string displayTitle() const;
  std::uint64_t displayGeneration() const { return displayGeneration_; }
  void next();
  void previous();
  void swipe(SwipeDirection direction);

  // The favourites table, newest first, read from the store at each call.
  int favoriteCount() const;
  FavoriteRow favoriteRow(int row) const;
  // Shows the favourite `objectId` (see the header comment).
  void selectFavorite(const std::string& objectId);

 private:
  void showAt(long index);

  CatalogData catalog_;
  Favorites favorites_;
  Tab tab_ = Tab::Energize;
  std::optional<std::vector<ExercisePtr>> exercises_;
  long index_ = 0;
  ExercisePtr currentExercise_;
  std::optional<int> minutes_;
  std::optional<int> pickedMinutes_;
  std::uint64_t displayGeneration_ = 0;
};

}  // namespace stillnook
