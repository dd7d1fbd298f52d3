#include "app/FreeTime.h"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace stillnook {

std::optional<int> freeTimeAt(double stepperValue) {
  // Checked before the conversion: converting NaN or an out-of-range double is undefined.
  if (!std::isfinite(stepperValue) || stepperValue <= -1.0 || stepperValue >= static_cast<double>(kFreeTimeChoices.size()))
    return std::nullopt;
  return kFreeTimeChoices[static_cast<std::size_t>(static_cast<long>(stepperValue))];
}

std::optional<int> parseMinutes(std::string_view text) {
  const std::size_t digits = !text.empty() && (text.front() == '+' || text.front() == '-') ? 1 : 0;
  if (digits == text.size()) return std::nullopt;
  for (std::size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  // from_chars takes a minus sign but not a plus sign.
  const char* first = text.data() + (text.front() == '+' ? 1 : 0);
  const char* last = text.data() + text.size();
  int value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

}  // namespace stillnook
