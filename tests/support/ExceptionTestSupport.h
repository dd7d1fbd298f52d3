// What a test reads of an exception it expects.
#pragma once

#include <string>

#include <keel/base/Exception.h>

namespace keel::testing {

// Runs `f` and returns the name and reason of the library exception it throws ("Name: reason"),
// or "no exception".
template <typename F>
std::string reasonOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "no exception";
}

}  // namespace keel::testing
