#include "app/screens/Screenshots.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <memory>

#include "app/AppDelegate.h"
#include "app/Favorites.h"
#include "app/Progress.h"
#include "app/ThumbnailLoader.h"
#include "app/screens/DoneViewController.h"
#include "app/screens/ExerciseViewController.h"
#include "app/screens/HomeViewController.h"
#include "app/screens/LaunchWindow.h"
#include "app/screens/MainWindow.h"
#include "app/screens/NavigationController.h"
#include "app/screens/ProgressViewController.h"
#include <keel/platform/Application.h>
#include <keel/platform/Calendar.h>
#include <keel/platform/FileSystem.h>

namespace stillnook {

namespace {

struct SampleExercise {
  const char* id;
  int minutes;
  const char* type;
  const char* title;
  QColor from;
  QColor to;
};

const SampleExercise kSamples[] = {
    {"sampleMorningStretch", 15, "Energize", "Morning Stretch", QColor(255, 183, 77), QColor(240, 98, 146)},
    {"sampleDeskReset", 15, "Energize", "Desk Reset", QColor(129, 212, 250), QColor(57, 73, 171)},
    {"sampleBodyScan", 15, "Relax", "Body Scan", QColor(165, 214, 167), QColor(0, 121, 107)},
    {"sampleBoxBreathing", 5, "Relax", "Box Breathing", QColor(206, 147, 216), QColor(94, 53, 177)},
    {"sampleQuickWalk", 10, "Energize", "Quick Walk", QColor(255, 241, 118), QColor(255, 143, 0)},
};

// A catalogue that never leaves the machine: the screenshots must not depend on a backend.
class SampleCatalogSource : public CatalogSource {
 public:
  explicit SampleCatalogSource(QString imageDir) : imageDir_(std::move(imageDir)) {}

  using CatalogSource::fetchCatalog;
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr*, const FetchContext&) override {
    std::vector<CatalogEntry> entries;
    for (const auto& s : kSamples) {
      const QString path = QDir(imageDir_).filePath(QString::fromLatin1(s.id) + QStringLiteral(".png"));
      drawThumbnail(s, path);
      entries.push_back({s.id, keel::Dictionary{{"Mins", keel::Value(s.minutes)},
                                                {"Type", keel::Value(std::string(s.type))},
                                                {"Title", keel::Value(std::string(s.title))},
                                                {"HTMLLink", keel::Value("https://videos.example/" + std::string(s.id))},
                                                {"ThumbnailImage", keel::Value(QUrl::fromLocalFile(path).toString().toStdString())},
                                                {"MP4Link", keel::Value("https://videos.example/" + std::string(s.id) + ".mp4")}}});
    }
    return entries;
  }

 private:
  static void drawThumbnail(const SampleExercise& s, const QString& path) {
    QImage image(480, 300, QImage::Format_ARGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 480, 300);
    gradient.setColorAt(0, s.from);
    gradient.setColorAt(1, s.to);
    painter.fillRect(image.rect(), gradient);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 90));
    painter.drawEllipse(QPointF(240, 150), 90, 90);
    painter.setBrush(QColor(255, 255, 255, 200));
    painter.drawPolygon(QPolygonF({QPointF(215, 110), QPointF(215, 190), QPointF(285, 150)}));
    painter.end();
    image.save(path);
  }

  QString imageDir_;
};

// Adds a few weeks of practice ending today, in this year only as far as the calendar allows.
void addSampleHistory(ManagedObjectContext& context, const ChillPoints& points) {
  const auto now = std::chrono::system_clock::now();
  const struct {
    int daysAgo;
    int minutes;
  } history[] = {{0, 15}, {1, 10}, {2, 30}, {4, 5}, {8, 45}, {11, 15}, {16, 20}, {23, 15}, {30, 30}, {38, 10},
                 {70, 45}, {100, 60}, {130, 30}};
  for (const auto& h : history) {
    const auto day = platform::dateComponents(now - std::chrono::hours(24 * h.daysAgo));
    Progress::addProgress(day.month, day.day, day.year, day.weekday, day.weekOfYear, h.minutes, context, points);
  }
}

void settle(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  // Outside exec() nothing runs deleteLater; the chart drops its old axes that way.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

}  // namespace

QStringList renderScreenshots(const QString& directory) {
  QStringList written;
  if (!QDir().mkpath(directory)) return written;
  QTemporaryDir sandbox;
  if (!sandbox.isValid()) return written;
  platform::setSandboxRoot(sandbox.path().toStdString());
  QDir(sandbox.path()).mkpath(QStringLiteral("images"));

  auto& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<AppDelegate>(std::make_unique<SampleCatalogSource>(sandbox.filePath(QStringLiteral("images"))));
  application.setDelegate(delegate);
  application.didFinishLaunching();
  application.didBecomeActive();
  // The sample thumbnails are files; the loader reads those without starting its HTTP session.
  const AppEnvironment environment = delegate->environment(std::make_shared<ThumbnailLoader>(nullptr));
  addSampleHistory(*environment.context, environment.chillPoints());
  environment.favorites().addFavorite("sampleBodyScan");
  environment.favorites().addFavorite("sampleMorningStretch");

  {
    MainWindow window(environment);
    window.show();
    settle([] { return false; }, 100);
    NavigationController* navigation = window.navigationController();
    auto save = [&](const QString& name) {
      settle([] { return false; }, 50);
      const QString path = QDir(directory).filePath(name + QStringLiteral(".png"));
      if (window.grab().save(path)) written << path;
    };

    auto* home = qobject_cast<HomeViewController*>(navigation->topViewController());
    home->stepper()->setValue(2);
    save(QStringLiteral("home"));

    home->performSegue(QStringLiteral("exercise"), nullptr);
    auto* exercise = qobject_cast<ExerciseViewController*>(navigation->topViewController());
    settle([&] { return !exercise->contentImageView()->image().isNull(); }, 3000);
    save(QStringLiteral("exercise"));
    exercise->favoritesTab();
    save(QStringLiteral("favorites"));
    exercise->energizeTab();
    settle([&] { return !exercise->contentImageView()->image().isNull(); }, 3000);

    exercise->performSegue(QStringLiteral("done"), nullptr);
    save(QStringLiteral("completion"));

    navigation->popToRootViewController(false);
    home->performSegue(QStringLiteral("progress"), nullptr);
    auto* progress = qobject_cast<ProgressViewController*>(navigation->topViewController());
    save(QStringLiteral("progress-daily"));
    for (const char* view : {"Weekly", "Monthly"}) {
      SegmentedControl* control = progress->graphType();
      control->setSelectedSegmentIndex(control->indexOfSegment(QString::fromLatin1(view)));
      progress->changeGraphType(control);
      save(QStringLiteral("progress-") + QString::fromLatin1(view).toLower());
    }
    window.close();
  }
  {
    // The launch window as a launch against an unreachable backend shows it between attempts.
    LaunchWindow launch;
    FetchProgress waiting;
    waiting.attempt = 2;
    waiting.attempts = 5;
    waiting.nextAttemptAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
    launch.showProgress(waiting);
    launch.show();
    settle([] { return false; }, 50);
    const QString path = QDir(directory).filePath(QStringLiteral("launch.png"));
    if (launch.grab().save(path)) written << path;
    launch.close();
  }
  application.terminate();
  application.setDelegate(nullptr);
  platform::setSandboxRoot("");
  return written;
}

}  // namespace stillnook
