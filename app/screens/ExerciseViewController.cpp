#include "app/screens/ExerciseViewController.h"

#include <QUrl>

#include "app/CatalogData.h"
#include "app/Favorites.h"
#include "app/screens/Controls.h"
#include "app/screens/DoneViewController.h"
#include "app/screens/Theme.h"
#include "app/screens/VideoPlayer.h"
#include <keel/platform/Dispatch.h>
#include "ui_ExerciseViewController.h"

namespace stillnook {

namespace {

const QString kFavoriteCell = QStringLiteral("favoriteCell");
const QString kEnergize = QStringLiteral("Energize");
const QString kRelax = QStringLiteral("Relax");

ThumbnailLoader::Fetcher& thumbnailFetcher() {
  static ThumbnailLoader::Fetcher fetcher;
  return fetcher;
}

}  // namespace

void ExerciseViewController::setThumbnailFetcher(ThumbnailLoader::Fetcher fetcher) {
  thumbnailFetcher() = std::move(fetcher);
}

ExerciseViewController::ExerciseViewController(QWidget* parent)
    : ViewController(parent), timer_(new RepeatingTimer(this)) {
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
  minutes_ = minutes;
  // Before the view loads this is the home screen's hand-over: the length the user picked.
  if (!isViewLoaded()) pickedMinutes_ = minutes;
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
  if (minutes_ && *minutes_ > 0) timer_->schedule(kCountdownIntervalMs, [this] { countdown(); });
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

void ExerciseViewController::updateTimeLabel() {
  if (!timeLabel_) return;
  timeLabel_->setText(minutes_ ? QStringLiteral("Free Time: ") + QString::number(*minutes_) + QStringLiteral(" min")
                               : QString());
}

void ExerciseViewController::highlight(Button* tab, const QString& label) {
  if (exerciseTypeLabel_) exerciseTypeLabel_->setText(label);
  for (Button* b : {energize_.data(), relax_.data(), favorites_.data()}) {
    if (b) b->setBackgroundColor(theme::transparentWhite());
  }
  if (tab) tab->setBackgroundColor(theme::highlightGreen());
}

void ExerciseViewController::categoryTab(const QString& type) {
  highlight(type == kEnergize ? energize_.data() : relax_.data(), type);
  if (favTableView_) favTableView_->hide();
  if (!pickedMinutes_) return;  // no length handed over: no list to show
  setExercises(CatalogData().fetchExercises(type.toStdString(), *pickedMinutes_));
}

void ExerciseViewController::energizeTab() { categoryTab(kEnergize); }
void ExerciseViewController::relaxTab() { categoryTab(kRelax); }

void ExerciseViewController::favoritesTab() {
  highlight(favorites_, QStringLiteral("Favorites"));
  if (favTableView_) {
    favTableView_->show();
    favTableView_->raise();
  }
}

void ExerciseViewController::setExercises(std::optional<std::vector<ExercisePtr>> exercises) {
  exercises_ = std::move(exercises);
  if (!exercises_) return;
  index_ = 0;
  if (exercises_->empty()) {
    showNoExercise();
    return;
  }
  setCurrentExercise(exercises_->front());
}

void ExerciseViewController::showNoExercise() {
  currentExercise_ = nullptr;
  ++displayGeneration_;
  if (exerciseTitle_) exerciseTitle_->setText(QStringLiteral("No exercise of this length yet"));
  if (contentImageView_) contentImageView_->setImage(QImage());
}

void ExerciseViewController::setCurrentExercise(ExercisePtr exercise) {
  if (!exercise) return;
  currentExercise_ = std::move(exercise);
  const std::uint64_t generation = ++displayGeneration_;
  const QString address = QString::fromStdString(currentExercise_->thumbnailImageURL());
  QPointer<ExerciseViewController> self(this);
  ThumbnailLoader::Fetcher fetch = thumbnailFetcher() ? thumbnailFetcher() : ThumbnailLoader::Fetcher(&ThumbnailLoader::fetchBytes);
  platform::DispatchQueue::global()->async([self, generation, address, fetch] {
    std::optional<QByteArray> bytes = fetch(address);
    if (!bytes) return;
    platform::DispatchQueue::main()->async([self, generation, bytes = std::move(*bytes)] {
      if (!self || self->displayGeneration_ != generation || !self->contentImageView_) return;
      self->contentImageView_->setImageFromData(bytes);
    });
  });
  if (exerciseTitle_) exerciseTitle_->setText(QString::fromStdString(currentExercise_->title()));
}

void ExerciseViewController::next() {
  if (!exercises_ || exercises_->empty()) return;
  ++index_;
  if (index_ >= static_cast<long>(exercises_->size())) index_ = 0;
  setCurrentExercise((*exercises_)[static_cast<size_t>(index_)]);
}

void ExerciseViewController::previous() {
  if (!exercises_ || exercises_->empty()) return;
  --index_;
  if (index_ < 0) index_ = static_cast<long>(exercises_->size()) - 1;
  setCurrentExercise((*exercises_)[static_cast<size_t>(index_)]);
}

void ExerciseViewController::swipe(QObject* sender) {
  auto* recognizer = qobject_cast<SwipeRecognizer*>(sender);
  if (!recognizer) return;
  if (recognizer->direction() == SwipeRecognizer::Direction::Left) previous();
  else if (recognizer->direction() == SwipeRecognizer::Direction::Right) next();
}

void ExerciseViewController::countdown() {
  if (!minutes_) return;
  *minutes_ -= 1;
  updateTimeLabel();
  if (*minutes_ <= 0) timer_->invalidate();
}

void ExerciseViewController::playVideo() {
  if (!currentExercise_) return;
  const QUrl url(QString::fromStdString(currentExercise_->videoURL()), QUrl::StrictMode);
  if (currentExercise_->videoURL().empty() || !url.isValid() || url.scheme().isEmpty()) return;
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
  done->setExerciseId(currentExercise_ ? std::optional<std::string>(currentExercise_->objectId()) : std::nullopt);
}

int ExerciseViewController::numberOfRows(TableView*) { return static_cast<int>(Favorites().favorites().size()); }

TableViewCell* ExerciseViewController::cellForRow(TableView* table, int row) {
  TableViewCell* cell = table->dequeueReusableCell(kFavoriteCell, row);
  if (!cell) return nullptr;
  const auto favorites = Favorites().favorites();
  const std::string id = row >= 0 && row < static_cast<int>(favorites.size()) ? favorites[static_cast<size_t>(row)] : std::string();
  ExercisePtr exercise = id.empty() ? nullptr : CatalogData().fetchExercise(id);
  // The catalogue is replaced at every launch, so a favourite can outlive its exercise.
  cell->setText(exercise ? QString::number(exercise->minutes()) + QStringLiteral(" min ") + QString::fromStdString(exercise->title())
                         : QStringLiteral("No longer in the catalogue"));
  cell->setAccessibilityValue(QString::fromStdString(id));
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
  setCurrentExercise(CatalogData().fetchExercise(cell->accessibilityValue().toStdString()));
  // The look follows the exercise on display (an unknown favourite keeps the one shown before).
  if (currentExercise_ && currentExercise_->type() == kEnergize.toStdString()) highlight(energize_, kEnergize);
  else highlight(relax_, kRelax);
  if (favTableView_) favTableView_->hide();
}

}  // namespace stillnook
