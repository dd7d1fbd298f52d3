// A program outside the project that uses the installed library through its public headers.
#include <keel/base/Format.h>
#include <keel/base/Value.h>
#include <keel/core/Keel.h>
#include <keel/tasks/Task.h>

#include <cstdio>

namespace {

// A controller of the consumer's own, kept in the core manager's typed slots.
struct Counter {
  int value = 0;
};

}  // namespace

int main() {
  keel::Value v(keel::Dictionary{{"answer", keel::Value(42)}});
  std::string text = keel::formatMessage("%@ and %d", v, 7);
  std::printf("%s\n", text.c_str());
  auto task = keel::Task<int>::taskWithResult(7);
  bool configured = !keel::Keel::serverURLString().empty();
  auto core = keel::CoreManager::managerWithDataSource({});
  auto counter = core->component<Counter>([](keel::CoreManager&) { return std::make_shared<Counter>(); });
  counter->value = 3;
  bool slotted = core->component<Counter>([](keel::CoreManager&) { return std::make_shared<Counter>(); })->value == 3;
  return text == "{answer = 42} and 7" && task.result() == 7 && configured && slotted ? 0 : 1;
}
