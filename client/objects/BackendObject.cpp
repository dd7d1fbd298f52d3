#include <keel/objects/BackendObject.h>

#include <keel/objects/internal/DefaultObjectFactory.h>

#include <algorithm>
#include <mutex>

namespace keel {

namespace {

std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<ObjectFactory>& factorySlot() {
  static std::shared_ptr<ObjectFactory> slot = makeDefaultObjectFactory();
  return slot;
}

}  // namespace

bool isSameBackendObject(const BackendObject& a, const BackendObject& b) {
  if (&a == &b) return true;
  auto idA = a.objectId();
  if (!idA) return false;
  auto idB = b.objectId();
  return idB && *idA == *idB && a.className() == b.className();
}

std::shared_ptr<ObjectFactory> ObjectFactory::installedFactory() {
  std::lock_guard lock(factoryMutex());
  return factorySlot();
}

std::shared_ptr<ObjectFactory> ObjectFactory::installFactory(std::shared_ptr<ObjectFactory> factory) {
  std::lock_guard lock(factoryMutex());
  return std::exchange(factorySlot(), std::move(factory));
}

ObjectSet::ObjectSet(const std::vector<BackendObjectPtr>& objects) {
  for (const auto& o : objects) insert(o);
}

bool ObjectSet::insert(const BackendObjectPtr& object) {
  if (!object || !members_.insert(object.get()).second) return false;
  objects_.push_back(object);
  return true;
}

bool ObjectSet::erase(const BackendObject* object) {
  if (!members_.erase(object)) return false;
  auto it = std::find_if(objects_.begin(), objects_.end(),
                         [object](const BackendObjectPtr& o) { return o.get() == object; });
  objects_.erase(it);
  return true;
}

bool ObjectSet::contains(const BackendObject* object) const {
  return members_.count(object) != 0;
}

bool ObjectSet::operator==(const ObjectSet& other) const {
  if (size() != other.size()) return false;
  return std::all_of(objects_.begin(), objects_.end(),
                     [&other](const BackendObjectPtr& o) { return other.contains(o.get()); });
}

std::string ObjectSet::description() const {
  std::string out = "{(";
  bool first = true;
  for (const auto& o : objects_) {
    if (!first) out += ", ";
    first = false;
    out += o->description();
  }
  return out + ")}";
}

}  // namespace keel
