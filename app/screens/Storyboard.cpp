#include "app/screens/Storyboard.h"

#include "app/screens/DoneViewController.h"
#include "app/screens/ExerciseViewController.h"
#include "app/screens/HomeViewController.h"
#include "app/screens/NavigationController.h"
#include "app/screens/ProgressViewController.h"

namespace stillnook {

std::unique_ptr<Storyboard> Storyboard::makeMain(AppEnvironment environment) {
  auto b = std::make_unique<Storyboard>(std::move(environment));
  b->registerScreen(QStringLiteral("home"), [](const AppEnvironment& e) { return new HomeViewController(e); });
  b->registerScreen(QStringLiteral("exercise"), [](const AppEnvironment& e) { return new ExerciseViewController(e); });
  b->registerScreen(QStringLiteral("completion"), [](const AppEnvironment& e) { return new DoneViewController(e); });
  b->registerScreen(QStringLiteral("progress"), [](const AppEnvironment& e) { return new ProgressViewController(e); });
  b->addTransition({QStringLiteral("home"), QStringLiteral("exercise"), QStringLiteral("exercise"), Kind::Push});
  b->addTransition({QStringLiteral("home"), QStringLiteral("progress"), QStringLiteral("progress"), Kind::Push});
  b->addTransition({QStringLiteral("exercise"), QStringLiteral("done"), QStringLiteral("completion"), Kind::Push});
  b->addTransition({QStringLiteral("completion"), QStringLiteral("home"), QStringLiteral("home"), Kind::Unwind});
  b->setInitialScreen(QStringLiteral("home"));
  return b;
}

void Storyboard::registerScreen(const QString& name, Factory factory) { factories_[name] = std::move(factory); }

void Storyboard::addTransition(Transition transition) { transitions_.push_back(std::move(transition)); }

std::optional<Storyboard::Transition> Storyboard::transition(const QString& from, const QString& identifier) const {
  for (const auto& t : transitions_) {
    if (t.from == from && t.identifier == identifier) return t;
  }
  return std::nullopt;
}

ViewController* Storyboard::instantiateViewController(const QString& name) {
  auto it = factories_.find(name);
  if (it == factories_.end()) return nullptr;
  ViewController* screen = it->second(environment_);
  screen->setStoryboardIdentifier(name);
  screen->setStoryboard(this);
  return screen;
}

NavigationController* Storyboard::instantiateInitialViewController() {
  auto* navigation = new NavigationController;
  navigation->setStoryboard(this);
  navigation->view();
  if (ViewController* first = instantiateViewController(initial_)) navigation->pushViewController(first, false);
  return navigation;
}

bool Storyboard::perform(ViewController* source, const QString& identifier, QObject* sender) {
  if (!source) return false;
  auto t = transition(source->storyboardIdentifier(), identifier);
  NavigationController* navigation = source->navigationController();
  if (!t || !navigation) return false;
  if (t->kind == Kind::Unwind) {
    // Unwinding leads back to the first screen that is already on the stack.
    const auto& stack = navigation->viewControllers();
    ViewController* destination = stack.empty() ? nullptr : stack.front().data();
    if (!destination || destination->storyboardIdentifier() != t->to) return false;
    Segue segue(identifier, source, destination);
    source->prepareForSegue(segue, sender);
    navigation->popToRootViewController(true);
    return true;
  }
  ViewController* destination = instantiateViewController(t->to);
  if (!destination) return false;
  Segue segue(identifier, source, destination);
  source->prepareForSegue(segue, sender);
  navigation->pushViewController(destination, true);
  return true;
}

}  // namespace stillnook
