// Storyboard: the one table of the app's screens and the transitions between them. Screens are
// made by name through registered factories, each handed the storyboard's environment (the
// record context, settings store, thumbnail source and clock the screens work with); a
// transition names its source screen, identifier, destination and kind (push onto the
// navigation stack, or unwind to the first screen).
//
// Performing a transition creates the destination without loading its view, calls the source's
// prepareForSegue (so data is handed over before the destination's viewDidLoad), then pushes or
// unwinds on the source's navigation container.
//
// Thread-safety: GUI thread only. Ownership: instantiated screens belong to the caller (or to the
// navigation container they are pushed onto) and refer back to the storyboard, which must
// outlive them (the main window owns the app's).
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/AppEnvironment.h"

namespace stillnook {

class NavigationController;
class ViewController;

class Storyboard {
 public:
  enum class Kind { Push, Unwind };

  struct Transition {
    QString from;
    QString identifier;
    QString to;
    Kind kind;
  };

  using Factory = std::function<ViewController*(const AppEnvironment& environment)>;

  explicit Storyboard(AppEnvironment environment) : environment_(std::move(environment)) {}

  // Returns the app's storyboard over `environment`: home (first), exercise, completion and
  // progress screens.
  static std::unique_ptr<Storyboard> makeMain(AppEnvironment environment);

  const AppEnvironment& environment() const { return environment_; }

  void registerScreen(const QString& name, Factory factory);
  void addTransition(Transition transition);
  void setInitialScreen(const QString& name) { initial_ = name; }

  const std::vector<Transition>& transitions() const { return transitions_; }
  // Returns the transition `identifier` leaving the screen `from`, or none.
  std::optional<Transition> transition(const QString& from, const QString& identifier) const;

  // Returns a new screen of `name` (view not loaded), or nullptr for an unknown name.
  ViewController* instantiateViewController(const QString& name);
  // Returns a new navigation container with the first screen on it.
  NavigationController* instantiateInitialViewController();

  // Runs `identifier` from `source` (see the header comment). Returns false when there is no
  // such transition, no container to run it in, or no destination.
  bool perform(ViewController* source, const QString& identifier, QObject* sender);

 private:
  AppEnvironment environment_;
  std::map<QString, Factory> factories_;
  std::vector<Transition> transitions_;
  QString initial_;
};

}  // namespace stillnook
