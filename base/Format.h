// formatMessage: fills the system's printf-style messages ("%@ is not the designated
// initializer for instances of %@.", "Delay must be >= -1", "%d") from C++ arguments, so that
// messages are written in the code exactly as they are quoted.
//
// Conversions: %@ (the argument's description: Value::description(), a string as it stands,
// anything with a description() member or a pointer to one), %d %i %u %ld %lu %lld %llu %zd
// %zu %x %X %o (integers, with flags, width and precision), %f %e %g (floating), %s (text),
// %c, %p (address) and %%. A missing argument prints as "(null)"; extra arguments are ignored.
//
// Thread-safety: a pure function; safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <keel/base/Value.h>

namespace keel {

// One argument of formatMessage: a Value, an address (for %p) or both.
struct FormatArg {
  Value value;
  const void* address = nullptr;
  bool nil = false;  // a null pointer: "%@" prints "(null)"
};

namespace detail {

template <typename T, typename = void>
struct HasDescription : std::false_type {};
template <typename T>
struct HasDescription<T, std::void_t<decltype(std::declval<const T&>().description())>>
    : std::true_type {};

template <typename T>
FormatArg toFormatArg(const T& v) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, FormatArg>) {
    return v;
  } else if constexpr (std::is_array_v<T>) {
    return FormatArg{Value(static_cast<const char*>(v)), nullptr};
  } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
    if (!v) return FormatArg{Value(), nullptr, true};
    return FormatArg{Value(v), static_cast<const void*>(v)};
  } else if constexpr (std::is_constructible_v<Value, const T&> && !std::is_pointer_v<D>) {
    return FormatArg{Value(v), nullptr};
  } else if constexpr (HasDescription<D>::value) {
    return FormatArg{Value(std::string(v.description())), &v};
  } else if constexpr (std::is_pointer_v<D>) {
    if (!v) return FormatArg{Value(), nullptr, true};
    if constexpr (HasDescription<std::remove_pointer_t<D>>::value) {
      return FormatArg{Value(std::string(v->description())), static_cast<const void*>(v)};
    } else {
      return FormatArg{Value(), static_cast<const void*>(v)};
    }
  } else if constexpr (requires { v.get(); v.use_count(); }) {  // shared_ptr / weak-style handles
    return toFormatArg(v.get());
  } else {
    static_assert(sizeof(T) == 0, "formatMessage: argument has no description");
  }
}

}  // namespace detail

std::string formatMessageArgs(std::string_view format, const std::vector<FormatArg>& args);

// Returns `format` with its conversions filled from `args` in order.
template <typename... Args>
std::string formatMessage(std::string_view format, const Args&... args) {
  std::vector<FormatArg> list;
  list.reserve(sizeof...(Args));
  (list.push_back(detail::toFormatArg(args)), ...);
  return formatMessageArgs(format, list);
}

}  // namespace keel
