#include "app/screens/DoneViewController.h"

#include <QFrame>
#include <QLabel>
#include <QUrl>

#include <chrono>

#include "app/AppDelegate.h"
#include "app/CatalogData.h"
#include "app/Favorites.h"
#include "app/Progress.h"
#include "app/screens/Controls.h"
#include "app/screens/Theme.h"
#include <keel/platform/Calendar.h>
#include "ui_DoneViewController.h"

namespace stillnook {

namespace {
const QString kAdd = QStringLiteral("addToFavorite");
const QString kRemove = QStringLiteral("removeFromFavorite");
}  // namespace

DoneViewController::DoneViewController(QWidget* parent) : ViewController(parent) {
  setObjectName(QStringLiteral("completion"));
}

DoneViewController::~DoneViewController() = default;

void DoneViewController::setExerciseId(std::optional<std::string> exerciseId) {
  exerciseId_ = std::move(exerciseId);
  exercise_ = exerciseId_ ? CatalogData().fetchExercise(*exerciseId_) : nullptr;
}

void DoneViewController::loadView() {
  ui_ = std::make_unique<Ui::DoneViewController>();
  ui_->setupUi(this);
  theme::applyScreenLook(this);
  exerciseLabel_ = ui_->exerciseLabel;
  addButton_ = ui_->addButton;
  shareButton_ = ui_->shareButton;
  chillPoints_ = ui_->chillPoints;
  shareView_ = ui_->shareView;
  facebookButton_ = ui_->facebookButton;
  twitterButton_ = ui_->twitterButton;
  cancelButton_ = ui_->cancelButton;
  homeButton_ = ui_->homeButton;
  for (Button* b : {shareButton_.data(), facebookButton_.data(), twitterButton_.data(), cancelButton_.data(), homeButton_.data()}) {
    theme::styleOutlineButton(b);
  }
  addButton_->setImageContentMode(Button::ContentMode::AspectFit);
  // The layout's toggle starts in the not-a-favourite state.
  addButton_->setImageNamed(QStringLiteral("addtofav.png"));
  addButton_->addTarget(kAdd, [this] { addToFavorite(); });
  shareButton_->addTarget(QStringLiteral("shareMenu"), [this] { shareMenu(); });
  cancelButton_->addTarget(QStringLiteral("cancel"), [this] { cancel(); });
  facebookButton_->addTarget(QStringLiteral("facebook"), [this] { facebookButtonPushed(facebookButton_); });
  twitterButton_->addTarget(QStringLiteral("twitter"), [this] { twitterButtonPushed(twitterButton_); });
  homeButton_->addTarget(QStringLiteral("home"), [this] { performSegue(QStringLiteral("home"), homeButton_); });
  shareView_->hide();
}

void DoneViewController::viewDidLoad() {
  exerciseLabel_->setText(exercise_ ? QString::fromStdString(exercise_->title()) : QString());
  chillPoints_->setText(exercise_ ? QString::number(exercise_->minutes()) : QString());
  if (!exercise_) {
    addButton_->setEnabled(false);
    shareButton_->setEnabled(false);
  } else if (exerciseId_ && Favorites().isFavorite(*exerciseId_)) {
    showFavoriteState(true);
  }
  navigationItem()->setTitleView(theme::logoTitleView());
}

void DoneViewController::showFavoriteState(bool favorite) {
  addButton_->setImageNamed(favorite ? QStringLiteral("addedtofav.png") : QStringLiteral("addtofav.png"));
  addButton_->removeTarget(favorite ? kAdd : kRemove);
  if (favorite) addButton_->addTarget(kRemove, [this] { removeFromFavorite(); });
  else addButton_->addTarget(kAdd, [this] { addToFavorite(); });
}

void DoneViewController::addToFavorite() {
  if (!exercise_ || !exerciseId_) return;
  Favorites().addFavorite(*exerciseId_);
  showFavoriteState(true);
}

void DoneViewController::removeFromFavorite() {
  if (!exercise_ || !exerciseId_) return;
  Favorites().removeFavorite(*exerciseId_);
  showFavoriteState(false);
}

void DoneViewController::shareMenu() {
  if (exercise_ && shareView_) shareView_->show();
}

void DoneViewController::cancel() {
  if (shareView_) shareView_->hide();
}

void DoneViewController::facebookButtonPushed(QObject*) { share(SocialService::Facebook); }
void DoneViewController::twitterButtonPushed(QObject*) { share(SocialService::Twitter); }

void DoneViewController::share(SocialService service) {
  if (!exercise_) {
    cancel();
    return;
  }
  if (!SocialAccounts::isAvailable(service)) {
    const QString name = service == SocialService::Facebook ? QStringLiteral("Facebook") : QStringLiteral("Twitter");
    QMessageBox* alert = presentAlert(this, QStringLiteral("Accounts"),
                                      QStringLiteral("Please login to a %1 account to share.").arg(name));
    presentViewController(alert, true);
  } else {
    auto* sheet = new ComposeSheet(service);
    sheet->setObjectName(QStringLiteral("composeSheet"));
    if (service == SocialService::Twitter) sheet->setInitialText(QStringLiteral("Check out the exercise I just finished on Stillnook!"));
    // An address that is not a valid URL leaves the sheet without a link.
    sheet->addURL(QUrl(QString::fromStdString(exercise_->youtubeURL()), QUrl::StrictMode));
    presentViewController(sheet, true);
  }
  cancel();
}

void DoneViewController::prepareForSegue(Segue& segue, QObject*) {
  if (segue.identifier() != QStringLiteral("home") || !exercise_) return;
  auto context = AppDelegate::sharedManagedObjectContext();
  if (!context) return;
  const auto now = platform::dateComponents(std::chrono::system_clock::now());
  Progress::addProgress(now.month, now.day, now.year, now.weekday, now.weekOfYear,
                        static_cast<int>(exercise_->minutes()), *context);
}

}  // namespace stillnook
