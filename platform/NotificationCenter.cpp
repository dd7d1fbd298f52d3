#include <keel/platform/NotificationCenter.h>

#include <algorithm>

namespace platform {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  static auto center = std::make_shared<NotificationCenter>();
  return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name, const void* sender, Block block) {
  std::lock_guard lock(mutex_);
  ObserverToken token = next_++;
  entries_.push_back({token, std::move(name), sender, std::make_shared<Block>(std::move(block))});
  return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(std::string name, const void* object, keel::Dictionary userInfo) {
  std::vector<std::shared_ptr<Block>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if (e.name == name && (!e.sender || e.sender == object)) targets.push_back(e.block);
  }
  if (targets.empty()) return;
  Notification n{std::move(name), object, std::move(userInfo)};
  for (const auto& b : targets) (*b)(n);
}

}  // namespace platform
