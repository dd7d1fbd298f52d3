// ExerciseViewController: the screen the user practises on. Three tabs: "Energize" and "Relax"
// list the catalogue's exercises of that category with the length picked on the home screen;
// "Favorites" shows the favourites as a table. One exercise is on display (title and thumbnail);
// swipes step through the tab's list, wrapping both ways; "Play" opens the video full screen;
// "Done" leads to the completion screen with the exercise's id. A countdown of the free time
// ticks once a minute and stops at zero. What is on display and why is ExerciseBrowser's; this
// class draws it.
//
// Thumbnails come from the environment's thumbnail source and are set on the main thread, and
// only if the exercise they belong to is still the one on display (a download the user swiped
// past must not replace the newer picture).
//
// Thread-safety: GUI thread only. A thumbnail that arrives after the screen is gone finds it
// through a QPointer and does nothing.
// Ownership: controls belong to the layout (QPointer outlets); the screen owns its timer.
#pragma once

#include <QPointer>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/AppEnvironment.h"
#include "app/Exercise.h"
#include "app/ExerciseBrowser.h"
#include "app/screens/TableView.h"
#include "app/screens/ViewController.h"

#include <QLabel>
namespace Ui {
class ExerciseViewController;
}

namespace stillnook {


class ExerciseViewController : public ViewController, public TableViewDataSource, public TableViewDelegate {
  Q_OBJECT

 public:
  static constexpr int kCountdownIntervalMs = 60'000;

  explicit ExerciseViewController(AppEnvironment environment, QWidget* parent = nullptr);
  ~ExerciseViewController() override;

  const ExerciseBrowser& browser() const { return browser_; }

  // Outlets; the setters give each control the look that belongs to it.
  Button* energize() const { return energize_; }
  void setEnergize(Button* button);
  Button* relax() const { return relax_; }
  void setRelax(Button* button);
  Button* favorites() const { return favorites_; }
  void setFavorites(Button* button);
  TableView* favTableView() const { return favTableView_; }
  void setFavTableView(TableView* table);
  QLabel* exerciseTypeLabel() const { return exerciseTypeLabel_; }
  QLabel* timeLabel() const { return timeLabel_; }
  ImageView* contentImageView() const { return contentImageView_; }
  void setContentImageView(ImageView* view);
  QLabel* exerciseTitle() const { return exerciseTitle_; }
  Button* playButton() const { return playButton_; }
  Button* doneButton() const { return doneButton_; }
  RepeatingTimer* timer() const { return timer_; }

  const std::optional<std::vector<ExercisePtr>>& exercises() const { return browser_.exercises(); }
  // Sets the list; a list resets the index to 0 and shows its first exercise.
  void setExercises(std::optional<std::vector<ExercisePtr>> exercises);
  long index() const { return browser_.index(); }
  const ExercisePtr& currentExercise() const { return browser_.currentExercise(); }
  // Shows `exercise` (title now, thumbnail when it arrives); none leaves the display as it is.
  void setCurrentExercise(ExercisePtr exercise);

  // Returns the free time left. Set before the view loads, it is the home screen's hand-over:
  // the length the tabs look up as well.
  std::optional<int> minutes() const { return browser_.minutes(); }
  void setMinutes(std::optional<int> minutes);

  // Actions.
  void energizeTab();
  void relaxTab();
  void favoritesTab();
  void next();
  void previous();
  void swipe(QObject* sender);
  void countdown();
  void playVideo();

  // Hands the exercise on display to the completion screen.
  void prepareForSegue(Segue& segue, QObject* sender) override;

  // TableViewDataSource / TableViewDelegate for the favourites table.
  int numberOfRows(TableView* table) override;
  TableViewCell* cellForRow(TableView* table, int row) override;
  void didSelectRow(TableView* table, int row) override;

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  // Runs `change` on the browser, then redraws what it changed.
  template <typename Change>
  void update(Change change);
  void showTab();
  void showExercise();
  void updateTimeLabel();

  AppEnvironment environment_;
  ExerciseBrowser browser_;
  QPointer<Button> energize_;
  QPointer<Button> relax_;
  QPointer<Button> favorites_;
  QPointer<TableView> favTableView_;
  QPointer<QLabel> exerciseTypeLabel_;
  QPointer<QLabel> timeLabel_;
  RepeatingTimer* timer_;
  QPointer<ImageView> contentImageView_;
  QPointer<QLabel> exerciseTitle_;
  QPointer<Button> playButton_;
  QPointer<Button> doneButton_;
  std::vector<SwipeRecognizer*> swipes_;
  std::unique_ptr<Ui::ExerciseViewController> ui_;
};

}  // namespace stillnook
