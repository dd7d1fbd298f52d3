#include "app/Favorites.h"

#include <algorithm>

#include <QString>

namespace stillnook {
namespace {

bool isAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool canonicallyEqual(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;  // ASCII texts are their own normal form
  return QString::fromStdString(a).normalized(QString::NormalizationForm_C) ==
         QString::fromStdString(b).normalized(QString::NormalizationForm_C);
}

std::vector<std::string> Favorites::favorites() const {
  const keel::Value value = defaults_->objectForKey("favorites");
  if (!value.isArray()) return {};
  std::vector<std::string> list;
  list.reserve(value.arrayValue().size());
  for (const auto& item : value.arrayValue()) {
    if (!item.isString()) return {};
    list.push_back(item.stringValue());
  }
  return list;
}

void Favorites::setFavorites(const std::vector<std::string>& favorites) {
  keel::Array array(favorites.begin(), favorites.end());
  defaults_->setObject(keel::Value(std::move(array)), "favorites");
}

void Favorites::addFavorite(const std::string& objectId) {
  auto list = favorites();
  list.insert(list.begin(), objectId);
  setFavorites(list);
}

bool Favorites::isFavorite(const std::string& objectId) const {
  const auto list = favorites();
  return std::any_of(list.begin(), list.end(), [&](const std::string& s) { return canonicallyEqual(s, objectId); });
}

void Favorites::removeFavorite(const std::string& objectId) {
  auto list = favorites();
  auto it = std::find_if(list.begin(), list.end(), [&](const std::string& s) { return canonicallyEqual(s, objectId); });
  if (it != list.end()) list.erase(it);
  setFavorites(list);
}

}  // namespace stillnook
