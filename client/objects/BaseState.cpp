#include <keel/objects/BaseState.h>

#include <keel/base/Format.h>

namespace keel {

bool BaseState::isEqual(const BaseState& other) const {
  if (this == &other) return true;
  if (stateFamily() != other.stateFamily()) return false;
  auto mine = propertyValues();
  auto theirs = other.propertyValues();
  if (mine.size() != theirs.size()) return false;
  for (std::size_t i = 0; i < mine.size(); ++i) {
    if (mine[i].first != theirs[i].first || mine[i].second != theirs[i].second) return false;
  }
  return true;
}

std::size_t BaseState::hash() const {
  std::size_t h = std::hash<std::string>()(stateFamily());
  for (const auto& [name, value] : propertyValues()) {
    h ^= value.hash() + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  }
  return h;
}

std::string BaseState::description() const {
  std::string out = formatMessage("<%@: %p> {", stateFamily(), static_cast<const void*>(this));
  for (const auto& [name, value] : propertyValues()) {
    out += "\n  ";
    out += name;
    out += " = ";
    out += value.description();
    out += ";";
  }
  return out + "\n}";
}

}  // namespace keel
