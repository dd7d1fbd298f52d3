#include "app/screens/DoneViewController.h"

#include <QFrame>
#include <QLabel>
#include <QUrl>

#include "app/screens/Controls.h"
#include "app/screens/Theme.h"
#include "ui_DoneViewController.h"

namespace stillnook {

namespace {
const QString kAdd = QStringLiteral("addToFavorite");
const QString kRemove = QStringLiteral("removeFromFavorite");
}  // namespace

DoneViewController::DoneViewController(AppEnvironment environment, QWidget* parent)
    : ViewController(parent), finished_(std::move(environment)) {
  setObjectName(QStringLiteral("completion"));
}

DoneViewController::~DoneViewController() = default;

void DoneViewController::setExerciseId(std::optional<std::string> exerciseId) {
  finished_.setExerciseId(std::move(exerciseId));
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
  exerciseLabel_->setText(QString::fromStdString(finished_.title()));
  chillPoints_->setText(QString::fromStdString(finished_.pointsText()));
  if (!finished_.isKnown()) {
    addButton_->setEnabled(false);
    shareButton_->setEnabled(false);
  } else if (finished_.isFavorite()) {
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
  if (finished_.addToFavorite()) showFavoriteState(true);
}

void DoneViewController::removeFromFavorite() {
  if (finished_.removeFromFavorite()) showFavoriteState(false);
}

void DoneViewController::shareMenu() {
  if (finished_.exercise() && shareView_) shareView_->show();
}

void DoneViewController::cancel() {
  if (shareView_) shareView_->hide();
}

void DoneViewController::facebookButtonPushed(QObject*) { share(SocialService::Facebook); }
void DoneViewController::twitterButtonPushed(QObject*) { share(SocialService::Twitter); }

void DoneViewController::share(SocialService service) {
  const ExercisePtr& exercise = finished_.exercise();
  if (!exercise) {
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
    sheet->addURL(QUrl(QString::fromStdString(exercise->youtubeURL()), QUrl::StrictMode));
    presentViewController(sheet, true);
  }
  cancel();
}

void DoneViewController::prepareForSegue(Segue& segue, QObject*) {
  if (segue.identifier() == QStringLiteral("home")) finished_.recordPractice();
}

}  // namespace stillnook
