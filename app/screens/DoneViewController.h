// DoneViewController: the completion screen. It names the finished exercise, shows the points it
// is worth (its minutes), toggles it as a favourite, offers sharing, and records the practice when
// the user goes "home" (the one place practice is recorded; going back records nothing).
//
// A screen reached without an exercise (no id, or an id the store does not know) shows empty
// labels, disables the favourite toggle and sharing, and records nothing. The rules are
// FinishedExercise's; this class draws them.
//
// Thread-safety: GUI thread only. Ownership: controls belong to the layout (QPointer outlets).
#pragma once

#include <QPointer>

#include <memory>
#include <optional>
#include <string>

#include "app/AppEnvironment.h"
#include "app/Exercise.h"
#include "app/FinishedExercise.h"
#include "app/screens/Sharing.h"
#include "app/screens/ViewController.h"

#include <QFrame>
#include <QLabel>
namespace Ui {
class DoneViewController;
}

namespace stillnook {


class DoneViewController : public ViewController {
  Q_OBJECT

 public:
  explicit DoneViewController(AppEnvironment environment, QWidget* parent = nullptr);
  ~DoneViewController() override;

  const ExercisePtr& exercise() const { return finished_.exercise(); }
  const std::optional<std::string>& exerciseId() const { return finished_.exerciseId(); }
  // Sets the id and looks the exercise up (none for an unknown id).
  void setExerciseId(std::optional<std::string> exerciseId);

  QLabel* exerciseLabel() const { return exerciseLabel_; }
  Button* addButton() const { return addButton_; }
  Button* shareButton() const { return shareButton_; }
  QLabel* chillPoints() const { return chillPoints_; }
  QFrame* shareView() const { return shareView_; }
  Button* facebookButton() const { return facebookButton_; }
  Button* twitterButton() const { return twitterButton_; }
  Button* cancelButton() const { return cancelButton_; }
  Button* homeButton() const { return homeButton_; }

  void addToFavorite();
  void removeFromFavorite();
  void shareMenu();
  void cancel();
  void facebookButtonPushed(QObject* sender);
  void twitterButtonPushed(QObject* sender);
  // Records the practice when the transition is "home".
  void prepareForSegue(Segue& segue, QObject* sender) override;

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  void showFavoriteState(bool favorite);
  void share(SocialService service);

  FinishedExercise finished_;
  QPointer<QLabel> exerciseLabel_;
  QPointer<Button> addButton_;
  QPointer<Button> shareButton_;
  QPointer<QLabel> chillPoints_;
  QPointer<QFrame> shareView_;
  QPointer<Button> facebookButton_;
  QPointer<Button> twitterButton_;
  QPointer<Button> cancelButton_;
  QPointer<Button> homeButton_;
  std::unique_ptr<Ui::DoneViewController> ui_;
};

}  // namespace stillnook
