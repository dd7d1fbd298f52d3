// FreeTime: the home screen's choice of how much time the user has, without the widgets. The
// stepper walks over kFreeTimeChoices by position; the label shows the chosen length as a bare
// number; the exercise screen receives that text read back as an integer.
//
// Thread-safety: pure functions, callable from any thread.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace stillnook {

// The lengths of free time on offer, in minutes, in stepper order.
inline constexpr std::array<int, 6> kFreeTimeChoices{5, 10, 15, 30, 45, 60};

// Returns the length at the stepper position `stepperValue` (its fraction dropped), or none for a
// position outside the list (a layout with other stepper bounds must not index past it).
std::optional<int> freeTimeAt(double stepperValue);

// Returns `text` as a decimal integer with an optional sign ("15", "+15", "-5"), or none for
// anything else, including a number that does not fit an int.
std::optional<int> parseMinutes(std::string_view text);

}  // namespace stillnook
