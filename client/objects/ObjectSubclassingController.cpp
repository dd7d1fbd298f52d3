#include <keel/objects/ObjectSubclassingController.h>

#include <cxxabi.h>

#include <cstdlib>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/objects/Object.h>

namespace keel {

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string out = status == 0 && name ? name : type.name();
  std::free(name);
  return out;
}

ObjectSubclassingController& ObjectSubclassingController::defaultController() {
  static ObjectSubclassingController controller;
  return controller;
}

void ObjectSubclassingController::registerSubclass(Subclass subclass) {
  // A throwaway instance answers "does this class derive from that one"; it is built outside
  // the lock, since a subclass's constructor is not ours.
  auto probe = [](const Subclass& s) {
    return s.make(ObjectInit(s.backendClassName, std::nullopt, std::nullopt, false));
  };
  std::shared_ptr<Object> newInstance = probe(subclass);

  std::vector<Subclass> others;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, registered] : subclasses_) others.push_back(*registered);
  }
  std::optional<Subclass> current;
  for (const auto& registered : others) {
    if (registered.type == subclass.type) {
      if (registered.backendClassName == subclass.backendClassName) current = registered;
      continue;
    }
    std::shared_ptr<Object> registeredInstance = probe(registered);
    bool newDerivesFromRegistered = registered.isInstance(*newInstance);
    bool registeredDerivesFromNew = subclass.isInstance(*registeredInstance);
    if (registered.backendClassName != subclass.backendClassName) {
      if (newDerivesFromRegistered) {
        throw InvalidArgumentException(formatMessage(
            "Subclasses of subclasses may not have separate +className definitions. %@ should inherit +className from %@.",
            subclass.typeName, registered.typeName));
      }
      if (registeredDerivesFromNew) {
        throw InvalidArgumentException(formatMessage(
            "Subclasses of subclasses may not have separate +className definitions. %@ should inherit +className from %@.",
            registered.typeName, subclass.typeName));
      }
      continue;
    }
    if (registeredDerivesFromNew) {
      // The registered class is the more specific one: it stays.
      std::lock_guard lock(mutex_);
      registeredTypes_.insert(subclass.type);
      return;
    }
    if (!newDerivesFromRegistered) {
      throw InvalidArgumentException(formatMessage(
          "Tried to register both %@ and %@ as the native Object subclass of %@. Cannot determine the right class to "
          "use because neither inherits from the other.",
          registered.typeName, subclass.typeName, subclass.backendClassName));
    }
  }
  std::lock_guard lock(mutex_);
  registeredTypes_.insert(subclass.type);
  std::string name = subclass.backendClassName;
  subclasses_.insert_or_assign(std::move(name), std::make_shared<const Subclass>(std::move(subclass)));
}

void ObjectSubclassingController::unregisterSubclass(const std::string& backendClassName) {
  std::lock_guard lock(mutex_);
  auto it = subclasses_.find(backendClassName);
  if (it == subclasses_.end()) return;
  registeredTypes_.erase(it->second->type);
  subclasses_.erase(it);
}

std::shared_ptr<const ObjectSubclassingController::Subclass> ObjectSubclassingController::subclassForClassName(
    const std::string& backendClassName) const {
  std::lock_guard lock(mutex_);
  auto it = subclasses_.find(backendClassName);
  if (it == subclasses_.end()) return nullptr;
  return it->second;
}

void ObjectSubclassingController::requireRegistered(const std::type_info& type) const {
  std::lock_guard lock(mutex_);
  if (registeredTypes_.count(std::type_index(type)) == 0) {
    throw InternalInconsistencyException(formatMessage(
        "The class %@ must be registered with registerSubclass before using Keel.", demangledTypeName(type)));
  }
}

}  // namespace keel
