#include <keel/objects/Relation.h>

#include <keel/base/Format.h>
#include <keel/objects/Encoder.h>

namespace keel {

Relation::Relation(std::optional<std::string> targetClass)
    : ValueReference(ReferenceKind::Relation), targetClass_(std::move(targetClass)) {}

std::shared_ptr<Relation> Relation::relationWithTargetClass(std::optional<std::string> targetClass) {
  return std::make_shared<Relation>(std::move(targetClass));
}

std::shared_ptr<Relation> Relation::relationWithTargetClassKnownObjects(
    std::optional<std::string> targetClass, const std::vector<BackendObjectPtr>& objects) {
  auto relation = std::make_shared<Relation>(std::move(targetClass));
  for (const auto& o : objects) relation->knownObjects_.insert(o);
  return relation;
}

std::optional<std::string> Relation::targetClass() const {
  std::lock_guard lock(mutex_);
  return targetClass_;
}

void Relation::setTargetClass(std::optional<std::string> targetClass) {
  std::lock_guard lock(mutex_);
  targetClass_ = std::move(targetClass);
}

bool Relation::hasKnownObject(const BackendObject& object) const {
  std::lock_guard lock(mutex_);
  return knownObjects_.contains(&object);
}

void Relation::addKnownObject(const BackendObjectPtr& object) {
  std::lock_guard lock(mutex_);
  knownObjects_.insert(object);
}

void Relation::removeKnownObject(const BackendObject& object) {
  std::lock_guard lock(mutex_);
  knownObjects_.erase(&object);
}

std::vector<BackendObjectPtr> Relation::knownObjects() const {
  std::lock_guard lock(mutex_);
  return knownObjects_.objects();
}

void Relation::setParent(const std::shared_ptr<BackendObject>& parent, const std::string& key) {
  std::lock_guard lock(mutex_);
  parent_ = parent;
  key_ = key;
}

std::shared_ptr<BackendObject> Relation::parent() const {
  std::lock_guard lock(mutex_);
  return parent_.lock();
}

std::optional<std::string> Relation::key() const {
  std::lock_guard lock(mutex_);
  return key_;
}

Dictionary Relation::encodeIntoDictionary(const Encoder& encoder) const {
  std::optional<std::string> target;
  std::vector<BackendObjectPtr> objects;
  {
    std::lock_guard lock(mutex_);
    target = targetClass_;
    objects = knownObjects_.objects();
  }
  Array pointers;
  pointers.reserve(objects.size());
  for (const auto& o : objects) pointers.push_back(encoder.encodeBackendObject(o));
  Dictionary out{{"__type", Value("Relation")}};
  if (target) out.set("className", Value(*target));
  out.set("objects", Value(std::move(pointers)));
  return out;
}

std::string Relation::description() const {
  return formatMessage("<%@: %p, %p.%@ -> %@>", className(), static_cast<const void*>(this),
                       static_cast<const void*>(nullptr), "(null)", Value(targetClass().value_or("(null)")));
}

}  // namespace keel
