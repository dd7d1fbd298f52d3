#include "app/screens/ExerciseViewController.h"

#include <QUrl>

#include "app/screens/Controls.h"
#include "app/screens/DoneViewController.h"
#include "app/screens/Theme.h"
#include "app/screens/VideoPlayer.h"
#include "ui_ExerciseViewController.h"

namespace stillnook {

namespace {

const QString kFavoriteCell = QStringLiteral("favoriteCell");

}  // namespace

ExerciseViewController::ExerciseViewController(AppEnvironment environment, QWidget* parent)
    : ViewController(parent),
      environment_(std::move(environment)),
      browser_(environment_.catalog(), environment_.favorites()),
      timer_(new RepeatingTimer(this)) {
  setObjectName(QStringLiteral("exercise"));
}

ExerciseViewController::~ExerciseViewController() = default;

void ExerciseViewController::setEnergize(Button* button) {
  energize_ = button;
  if (button) theme::styleOutlineButton(button), button->setImageContentMode(Button::ContentMode::AspectFit);
}
void ExerciseViewController::setRelax(Button* button) {
  relax_ = button;
  if (button) theme::styleOutlineButton(button), button->setImageContentMode(Button::ContentMode::AspectFit);
}
void ExerciseViewController::setFavorites(Button* button) {
  favorites_ = button;
  if (button) theme::styleOutlineButton(button), button->setImageContentMode(Button::ContentMode::AspectFit);
}
void ExerciseViewController::setFavTableView(TableView* table) {
  favTableView_ = table;
  if (!table) return;
  table->setBackgroundColor(theme::tableGreen());
  table->setLayoutMargins(QMargins());
}
void ExerciseViewController::setContentImageView(ImageView* view) {
  contentImageView_ = view;
  if (view) view->setAspectFit(true);
}

void ExerciseViewController::setMinutes(std::optional<int> minutes) {
  // Before the view loads this is the home screen's hand-over: the length the user picked.
  if (!isViewLoaded()) browser_.handOver(minutes);
  else browser_.setMinutes(minutes);
  updateTimeLabel();
}

void ExerciseViewController::loadView() {
  ui_ = std::make_unique<Ui::ExerciseViewController>();
  ui_->setupUi(this);
  theme::applyScreenLook(this);
  setEnergize(ui_->energize);
  setRelax(ui_->relax);
  setFavorites(ui_->favorites);
  setFavTableView(ui_->favTableView);
  exerciseTypeLabel_ = ui_->exerciseTypeLabel;
  timeLabel_ = ui_->timeLabel;
  setContentImageView(ui_->contentImageView);
  exerciseTitle_ = ui_->exerciseTitle;
  playButton_ = ui_->playButton;
  doneButton_ = ui_->doneButton;
  theme::styleOutlineButton(playButton_);
  theme::styleOutlineButton(doneButton_);
  energize_->addTarget(QStringLiteral("energizeTab"), [this] { energizeTab(); });
  relax_->addTarget(QStringLiteral("relaxTab"), [this] { relaxTab(); });
  favorites_->addTarget(QStringLiteral("favoritesTab"), [this] { favoritesTab(); });
  playButton_->addTarget(QStringLiteral("playVideo"), [this] { playVideo(); });
  doneButton_->addTarget(QStringLiteral("done"), [this] { performSegue(QStringLiteral("done"), doneButton_); });
}

void ExerciseViewController::viewDidLoad() {
  if (favTableView_) {
    favTableView_->registerCellClass(kFavoriteCell);
    favTableView_->setDelegate(this);
    favTableView_->setDataSource(this);
  }
  energizeTab();
  updateTimeLabel();
  // Without a length, or with none left, there is nothing to count down (it would go negative).
  if (browser_.hasTimeLeft()) timer_->schedule(kCountdownIntervalMs, [this] { countdown(); });
  for (auto direction : {SwipeRecognizer::Direction::Right, SwipeRecognizer::Direction::Left}) {
    auto* recognizer = new SwipeRecognizer(direction, this);
    connect(recognizer, &SwipeRecognizer::recognized, this, [this](SwipeRecognizer* sender) { swipe(sender); });
    swipes_.push_back(recognizer);
  }
  setFocusPolicy(Qt::StrongFocus);
  navigationItem()->setTitleView(theme::logoTitleView());
  auto* back = new BarButtonItem(QString(), this);
  back->hide();
  navigationItem()->setBackBarButtonItem(back);
}

template <typename Change>
void ExerciseViewController::update(Change change) {
  const std::uint64_t shown = browser_.displayGeneration();
  change();
  showTab();
  if (browser_.displayGeneration() != shown) showExercise();
}

void ExerciseViewController::updateTimeLabel() {
  if (timeLabel_) timeLabel_->setText(QString::fromStdString(browser_.freeTimeText()));
}

void ExerciseViewController::showTab() {
  const ExerciseBrowser::Tab tab = browser_.tab();
  if (exerciseTypeLabel_) exerciseTypeLabel_->setText(QString::fromStdString(ExerciseBrowser::title(tab)));
  for (Button* b : {energize_.data(), relax_.data(), favorites_.data()}) {
    if (b) b->setBackgroundColor(theme::transparentWhite());
  }
  Button* highlighted = tab == ExerciseBrowser::Tab::Energize ? energize_.data()
                        : tab == ExerciseBrowser::Tab::Relax  ? relax_.data()
                                                              : favorites_.data();
  if (highlighted) highlighted->setBackgroundColor(theme::highlightGreen());
  if (!favTableView_) return;
  if (tab == ExerciseBrowser::Tab::Favorites) {
    favTableView_->show();
    favTableView_->raise();
  } else {
    favTableView_->hide();
  }
}

void ExerciseViewController::showExercise() {
  if (exerciseTitle_) exerciseTitle_->setText(QString::fromStdString(browser_.displayTitle()));
  const ExercisePtr& exercise = browser_.currentExercise();
  if (!exercise) {
    if (contentImageView_) contentImageView_->setImage(QImage());
    return;
  }
  if (!environment_.thumbnails) return;
  const std::uint64_t generation = browser_.displayGeneration();
  QPointer<ExerciseViewController> self(this);
  environment_.thumbnails->fetch(QString::fromStdString(exercise->thumbnailImageURL()),
                                 [self, generation](std::optional<QByteArray> bytes) {
                                   // No bytes keep the picture shown before.
                                   if (!bytes || !self || self->browser_.displayGeneration() != generation) return;
                                   if (self->contentImageView_) self->contentImageView_->setImageFromData(*bytes);
                                 });
}

void ExerciseViewController::energizeTab() {
  update([&] { browser_.showCategory(ExerciseBrowser::Tab::Energize); });
}
void ExerciseViewController::relaxTab() {
  update([&] { browser_.showCategory(ExerciseBrowser::Tab::Relax); });
}
void ExerciseViewController::favoritesTab() {
  update([&] { browser_.showFavorites(); });
}

void ExerciseViewController::setExercises(std::optional<std::vector<ExercisePtr>> exercises) {
  update([&] { browser_.setExercises(std::move(exercises)); });
}

void ExerciseViewController::setCurrentExercise(ExercisePtr exercise) {
  update([&] { browser_.show(std::move(exercise)); });
}

void ExerciseViewController::next() {
  update([&] { browser_.next(); });
}
void ExerciseViewController::previous() {
  update([&] { browser_.previous(); });
}

void ExerciseViewController::swipe(QObject* sender) {
  auto* recognizer = qobject_cast<SwipeRecognizer*>(sender);
  if (!recognizer) return;
  update([&] {
    browser_.swipe(recognizer->direction() == SwipeRecognizer::Direction::Left ? ExerciseBrowser::SwipeDirection::Left
                                                                                : ExerciseBrowser::SwipeDirection::Right);
  });
}

void ExerciseViewController::countdown() {
  if (!browser_.minutes()) return;
  const bool over = browser_.countdown();
  updateTimeLabel();
  if (over) timer_->invalidate();
}

void ExerciseViewController::playVideo() {
  const ExercisePtr& exercise = browser_.currentExercise();
  if (!exercise) return;
  const QUrl url(QString::fromStdString(exercise->videoURL()), QUrl::StrictMode);
  if (exercise->videoURL().empty() || !url.isValid() || url.scheme().isEmpty()) return;
  auto* player = new VideoPlayerDialog(url);
  player->setObjectName(QStringLiteral("videoPlayer"));
  player->setWindowState(Qt::WindowFullScreen);
  QPointer<VideoPlayerDialog> guard(player);
  presentViewController(player, true, [guard] {
    if (guard) guard->play();
  });
}

void ExerciseViewController::prepareForSegue(Segue& segue, QObject*) {
  if (segue.identifier() != QStringLiteral("done")) return;
  auto* done = qobject_cast<DoneViewController*>(segue.destinationScreen());
  if (!done) return;
  const ExercisePtr& exercise = browser_.currentExercise();
  done->setExerciseId(exercise ? std::optional<std::string>(exercise->objectId()) : std::nullopt);
}

int ExerciseViewController::numberOfRows(TableView*) { return browser_.favoriteCount(); }

TableViewCell* ExerciseViewController::cellForRow(TableView* table, int row) {
  TableViewCell* cell = table->dequeueReusableCell(kFavoriteCell, row);
  if (!cell) return nullptr;
  const ExerciseBrowser::FavoriteRow favorite = browser_.favoriteRow(row);
  cell->setText(QString::fromStdString(favorite.text));
  // The selection reads the id back from here.
  cell->setAccessibilityValue(QString::fromStdString(favorite.objectId));
  cell->setLayoutMargins(QMargins());
  cell->setAccessoryType(TableViewCell::Accessory::DisclosureIndicator);
  cell->setTextColor(Qt::white);
  cell->setBackgroundColor(theme::tableGreen());
  return cell;
}

void ExerciseViewController::didSelectRow(TableView* table, int row) {
  table->deselectRow(row, true);
  TableViewCell* cell = table->cellForRow(row);
  if (!cell) return;
  update([&] { browser_.selectFavorite(cell->accessibilityValue().toStdString()); });
}

}  // namespace stillnook
