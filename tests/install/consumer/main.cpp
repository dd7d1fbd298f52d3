// A program outside the project that uses the installed library.
#include <core/Format.h>
#include <core/Value.h>

#include <cstdio>

int main() {
  keel::Value v(keel::Dictionary{{"answer", keel::Value(42)}});
  std::string text = keel::formatMessage("%@ and %d", v, 7);
  std::printf("%s\n", text.c_str());
  return text == "{answer = 42} and 7" ? 0 : 1;
}
