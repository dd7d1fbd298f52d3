// BaseState: the common base of the library's state classes (an object's state, later a
// query's and an access list's). A state is a plain record of declared properties; the base
// gives every state equality, hashing and a description over those properties, so a new
// field is compared, hashed and printed as soon as it is declared.
//
// The pattern: an immutable class with a mutable subclass that adds the setters. Copying a
// state freezes it (copy() returns shared_ptr<const ...>), mutableCopy() thaws it. Frozen
// states are shared freely between threads; a mutable one belongs to whoever made it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <keel/base/Value.h>

namespace keel {

class BaseState {
 public:
  using PropertyList = std::vector<std::pair<std::string_view, Value>>;

  virtual ~BaseState() = default;

  // Returns the declared properties in declaration order; an absent optional is the null Value.
  virtual PropertyList propertyValues() const = 0;
  // Returns the name of the state's family ("ObjectState" for both the frozen and the mutable
  // class): states of one family compare by their properties.
  virtual std::string stateFamily() const = 0;

  // Returns true iff `other` is of the same family and every property is equal.
  bool isEqual(const BaseState& other) const;
  std::size_t hash() const;
  // Returns "<Family: 0x...> {\n  name = value;\n ...}".
  std::string description() const;

 protected:
  BaseState() = default;
  BaseState(const BaseState&) = default;
  BaseState& operator=(const BaseState&) = default;
};

inline bool operator==(const BaseState& a, const BaseState& b) { return a.isEqual(b); }

}  // namespace keel
