// A program outside the project that uses the installed library through its public headers.
#include <keel/base/Format.h>
#include <keel/base/Value.h>
#include <keel/core/Keel.h>
#include <keel/tasks/Task.h>

#include <cstdio>

int main() {
  keel::Value v(keel::Dictionary{{"answer", keel::Value(42)}});
  std::string text = keel::formatMessage("%@ and %d", v, 7);
  std::printf("%s\n", text.c_str());
  auto task = keel::Task<int>::taskWithResult(7);
  bool configured = !keel::Keel::serverURLString().empty();
  return text == "{answer = 42} and 7" && task.result() == 7 && configured ? 0 : 1;
}
