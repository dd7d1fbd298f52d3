// ObjectSubclassingController: which C++ class stands for which backend class. Queries,
// decoders and Object::objectWithClassName build the registered class for a class name, so a
// "Video" comes back as a Video wherever it is made.
//
// A subclass derives from Object, declares its backend class name and passes ObjectInit on:
//
//   class Video : public keel::Object {
//    public:
//     static std::string backendClassName() { return "Video"; }
//     using keel::Object::Object;
//     int mins() { return get<int>("Mins"); }
//     void setMins(int mins) { set("Mins", mins); }
//   };
//   keel::ObjectSubclassingController::defaultController().registerSubclass<Video>();
//
// Rules checked by the compiler: registering a class that does not derive from Object or does
// not declare backendClassName() (or cannot be built from ObjectInit); typed accessors of an
// unsupported type, a void getter, and a setter for a relation field (relations are
// read-only). Rules checked at registration (InvalidArgumentException):
//   - a subclass of a registered class that declares a different class name;
//   - two classes for one name: the more derived one wins; when neither derives from the
//     other, "Tried to register both %@ and %@ as the native Object subclass of %@. Cannot
//     determine the right class to use because neither inherits from the other.".
// A class may also declare `static void validateClassName(const std::string&)`, replacing the
// rule that refuses class names starting with "_" (the built-in classes accept only their own).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <typeindex>
#include <type_traits>
#include <typeinfo>

namespace keel {

class Object;
class ObjectInit;

template <typename T>
concept ObjectSubclassing = std::is_base_of_v<Object, T> && requires(const ObjectInit& init) {
  { T::backendClassName() } -> std::convertible_to<std::string>;
  T(init);
};

// Returns the readable name of a C++ type ("stillnook::Video").
std::string demangledTypeName(const std::type_info& type);

class ObjectSubclassingController {
 public:
  struct Subclass {
    std::type_index type;
    std::string typeName;
    std::string backendClassName;
    std::function<std::shared_ptr<Object>(const ObjectInit&)> make;
    std::function<bool(const Object&)> isInstance;
    // Empty: the default class-name rule.
    std::function<void(const std::string&)> validateClassName;
  };

  // Returns the process-wide controller.
  static ObjectSubclassingController& defaultController();

  // Registers T for T::backendClassName() under the rules above.
  template <ObjectSubclassing T>
  void registerSubclass() {
    Subclass subclass{typeid(T), demangledTypeName(typeid(T)), std::string(T::backendClassName()),
                      [](const ObjectInit& init) -> std::shared_ptr<Object> { return std::make_shared<T>(init); },
                      [](const Object& o) { return dynamic_cast<const T*>(&o) != nullptr; },
                      {}};
    if constexpr (requires(const std::string& name) { T::validateClassName(name); }) {
      subclass.validateClassName = [](const std::string& name) { T::validateClassName(name); };
    }
    registerSubclass(std::move(subclass));
  }
  void registerSubclass(Subclass subclass);
  // Removes the class registered for `backendClassName` (tests, and classes that go away).
  void unregisterSubclass(const std::string& backendClassName);

  // Returns the class registered for `backendClassName`, or none.
  std::shared_ptr<const Subclass> subclassForClassName(const std::string& backendClassName) const;

  // Throws InternalInconsistencyException "The class %@ must be registered with
  // registerSubclass before using Keel." unless T was registered.
  template <ObjectSubclassing T>
  void requireRegistered() const {
    requireRegistered(typeid(T));
  }
  void requireRegistered(const std::type_info& type) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const Subclass>, std::less<>> subclasses_;
  std::set<std::type_index> registeredTypes_;
};

}  // namespace keel
