// Value: the one dynamic value type of the library. It carries every field value, query operand,
// JSON value, user-info entry and result: null, numbers that remember their kind (booleans are
// numbers of kind Bool), UTF-8 strings, dates (milliseconds since 1970 UTC), bytes, arrays,
// string-keyed dictionaries that keep insertion order, and references to objects of the library's
// reference kinds (Object, File, ACL, GeoPoint, Relation, field operations, errors), which all
// derive from ValueReference.
//
// Copies are cheap: strings, bytes, arrays and dictionaries are held in immutable shared
// buffers; a mutating call on a Value whose buffer is shared copies it first.
//
// Thread-safety: a Value is like an int. Distinct Value objects may be used from different
// threads at once even when they share a buffer; one Value object must not be mutated while
// another thread reads it. A referenced object is shared, not copied; its own class says how it
// may be used across threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace keel {

class Value;

// Milliseconds since 1970-01-01T00:00:00Z.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;
using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// Returns the current time at millisecond precision.
Date dateNow();
// Returns the date `millis` milliseconds after the epoch.
inline Date dateFromMillis(std::int64_t millis) { return Date(std::chrono::milliseconds(millis)); }
inline std::int64_t millisFromDate(Date d) { return d.time_since_epoch().count(); }

// The kinds of reference a Value can hold. Code that takes values apart (the encoders and
// decoders, the field operations) switches on the kind instead of trying one cast after another.
enum class ReferenceKind : std::uint8_t {
  Other,           // anything else (a command result, a captured exception, a test's token)
  Error,           // keel::Error
  Object,          // a backend object
  File,            // a backend file
  ACL,             // an access-control list
  GeoPoint,        // a geographic point
  Relation,        // a relation of an object field
  FieldOperation,  // one pending change of one field
};

// Base of every reference kind a Value can hold. The default identity is the object's address:
// two references are equal only when they are the same object. Value-like kinds (GeoPoint, ACL)
// override isEqual/hash.
//
// The class that roots a kind passes its kind to the constructor and declares
//   static constexpr ReferenceKind kReferenceKind = ReferenceKind::...;
//   using ReferenceKindRoot = <that class>;
// so that Value::as<Root>() is a tag check and a static cast. REQUIRES: only such a root, or a
// class derived from it, constructs a reference with a kind other than Other.
class ValueReference : public std::enable_shared_from_this<ValueReference> {
 public:
  virtual ~ValueReference() = default;
  ReferenceKind referenceKind() const { return kind_; }
  // Returns the class name used in messages, e.g. "Object" or "GeoPoint".
  virtual std::string className() const = 0;
  // Returns true iff `other` stands for the same value. REQUIRES: called with any reference kind.
  virtual bool isEqual(const ValueReference& other) const { return this == &other; }
  virtual std::size_t hash() const { return std::hash<const void*>()(this); }
  // Returns the text that "%@" shows for this reference.
  virtual std::string description() const;

 protected:
  ValueReference() = default;
  explicit ValueReference(ReferenceKind kind) : kind_(kind) {}
  ValueReference(const ValueReference&) = default;
  ValueReference& operator=(const ValueReference&) = default;

 private:
  ReferenceKind kind_ = ReferenceKind::Other;
};

// Ordered string-keyed dictionary; iteration follows insertion order. Small dictionaries (most
// of them: a decoded object has a handful of fields) are searched linearly; above
// kIndexThreshold entries a hash index is kept as well: one flat table of positions, so that
// a decoded object of a dozen fields costs one allocation for its index, not one per key.
// Lookups never allocate.
// Setting an existing key keeps its position; removing a key keeps the order of the rest.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  static constexpr std::size_t kIndexThreshold = 16;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);

  void reserve(std::size_t n);
  std::size_t size() const;
  bool empty() const;
  bool contains(std::string_view key) const;
  // Returns the value under `key`, or nullptr when there is none.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Returns the value under `key`, or the null Value when there is none.
  const Value& operator[](std::string_view key) const;
  // Returns the value under `key`, inserting a null Value at the end when there is none.
  Value& at(std::string_view key);
  void set(std::string key, Value value);
  // Returns true iff the key was present.
  bool remove(std::string_view key);
  void clear();
  std::vector<std::string> keys() const;

  const_iterator begin() const;
  const_iterator end() const;

  // Order-insensitive, as dictionaries compare on the platform.
  bool operator==(const Dictionary& other) const;
  std::size_t hash() const;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Returns the position of `key` in entries_, or kNone.
  std::size_t position(std::string_view key) const;
  void append(std::string key, Value value);
  void reindex();
  // Records entries_[i] in index_. REQUIRES: index_ has a free slot.
  void indexEntry(std::size_t i);
  std::vector<Entry> entries_;
  // Open addressing with linear probing: each slot holds a position in entries_ plus one (0 is a
  // free slot), at the slot of the key's hash or after it. A power of two in size, at least
  // twice the entry count; empty while size() <= kIndexThreshold.
  std::vector<std::uint32_t> index_;
};

// A shared, copy-on-write buffer: copies share one T; the owner of the only handle may change it
// in place. Whether a handle is the only one is decided by a reference count read with acquire
// order, which pairs with the release decrement of every other handle that let go of the buffer:
// when a writer sees 1, every earlier reader's accesses happened before its write.
template <typename T>
class CowBox {
 public:
  CowBox() = default;
  explicit CowBox(T value) : box_(new Box{std::move(value)}) {}
  CowBox(const CowBox& other) noexcept : box_(other.box_) {
    if (box_) box_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  CowBox(CowBox&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
  CowBox& operator=(CowBox other) noexcept {
    std::swap(box_, other.box_);
    return *this;
  }
  ~CowBox() {
    if (box_ && box_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete box_;
  }

  const T& get() const { return box_->value; }
  bool operator==(const CowBox& other) const { return box_ == other.box_; }
  // Returns the buffer for writing, copying it first unless this handle is its only owner.
  // REQUIRES: a buffer is held.
  T& mutableGet() {
    if (box_->refs.load(std::memory_order_acquire) != 1) *this = CowBox(T(box_->value));
    return box_->value;
  }

 private:
  struct Box {
    T value;
    std::atomic<long> refs{1};
  };
  Box* box_ = nullptr;
};

class Value {
 public:
  enum class Type { Null, Number, String, Date, Bytes, Array, Dictionary, Reference };
  // The kind a number was made with. Arithmetic (field increments) adds by kind.
  enum class NumberKind { Bool, Int8, Int16, Int32, UInt32, Int64, Float, Double };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b);
  Value(std::int8_t n);
  Value(std::int16_t n);
  Value(int n);
  Value(unsigned int n);
  Value(long n);
  Value(long long n);
  Value(unsigned long n);       // stored as Int64; values above INT64_MAX are clamped
  Value(unsigned long long n);  // likewise
  Value(float n);
  Value(double n);
  Value(const char* s);
  Value(std::string s);
  Value(std::string_view s);
  Value(Date d);
  Value(Bytes b);
  Value(Array a);
  Value(Dictionary d);
  // A reference to a mutable object (an Object, a Relation) and one to an immutable object (an
  // Error, a frozen state) are kept apart, so that an immutable object is never handed out for
  // writing.
  template <typename T, typename = std::enable_if_t<std::is_base_of_v<ValueReference, T>>>
  Value(std::shared_ptr<T> ref) {
    if (!ref) return;
    if constexpr (std::is_const_v<T>) {
      data_ = ConstRefPtr(std::move(ref));
    } else {
      data_ = RefPtr(std::move(ref));
    }
  }

  static Value number(NumberKind kind, double value);

  // Returns a + b, computed exactly. The result keeps the kind of `a` where the sum fits it and
  // widens where it does not: integers add as Int32 (Bool, Int8 and Int16 count as Int32), UInt32
  // or Int64 after `a`, then widen Int32/UInt32 -> Int64 -> Double. Float + Float stays Float
  // while finite; any other sum with a floating operand is a Double, so 1 + 0.5 is 1.5.
  // A non-number reads as the Int32 0.
  static Value sum(const Value& a, const Value& b);

  Type type() const;
  bool isNull() const { return type() == Type::Null; }
  bool isNumber() const { return type() == Type::Number; }
  bool isBool() const;  // a number of kind Bool
  bool isString() const { return type() == Type::String; }
  bool isDate() const { return type() == Type::Date; }
  bool isBytes() const { return type() == Type::Bytes; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isReference() const { return type() == Type::Reference; }
  // True for integer kinds and Bool; false for Float and Double.
  bool isIntegerNumber() const;
  // REQUIRES: isNumber().
  NumberKind numberKind() const;

  // Numeric readers convert between kinds as the platform's number class does (truncating
  // toward zero for floating values). A non-number reads as 0 / false.
  bool boolValue() const;
  std::int32_t intValue() const;
  std::int64_t int64Value() const;
  std::uint32_t uint32Value() const;
  double doubleValue() const;
  float floatValue() const;

  // Returns the string; an empty string for a non-string.
  const std::string& stringValue() const;
  // Returns the date; the epoch for a non-date.
  Date dateValue() const;
  // Returns the bytes; empty for non-bytes.
  const Bytes& bytesValue() const;
  // Returns the array; empty for a non-array.
  const Array& arrayValue() const;
  // Returns the dictionary; empty for a non-dictionary.
  const Dictionary& dictionaryValue() const;
  // Returns a mutable array/dictionary, turning this value into an empty one first when it is
  // of another type, and unsharing the buffer when it is shared.
  Array& mutableArray();
  Dictionary& mutableDictionary();

  // Returns the referenced object when it is of type T, else nullptr. A reference made from a
  // pointer to const is only handed out as const T. For the root class of a reference kind this
  // is a tag check, not a dynamic cast.
  template <typename T>
  std::shared_ptr<T> as() const {
    if (auto p = std::get_if<RefPtr>(&data_)) return castReference<T>(*p);
    if constexpr (std::is_const_v<T>) {
      if (auto p = std::get_if<ConstRefPtr>(&data_)) return castReference<T>(*p);
    }
    return nullptr;
  }
  // Returns the kind of the reference held, or none when this is not a reference.
  std::optional<ReferenceKind> referenceKind() const;
  // Returns true iff this holds a reference of `kind` (mutable or not).
  bool isReferenceOfKind(ReferenceKind kind) const { return referenceKind() == kind; }
  // Returns true iff this holds a reference that was given as mutable.
  bool isMutableReference() const { return std::holds_alternative<RefPtr>(data_); }
  // Returns the referenced object when it was given as mutable, else nullptr.
  std::shared_ptr<ValueReference> reference() const;
  // Returns the referenced object, mutable or not, for reading.
  std::shared_ptr<const ValueReference> constReference() const;

  // Optional readers for decoding: return a value only when the type matches.
  std::optional<std::string> optionalString() const;
  std::optional<double> optionalNumber() const;

  // Dictionary shortcuts; on a non-dictionary `get` returns the null Value.
  const Value& get(std::string_view key) const;
  bool contains(std::string_view key) const;

  // Equality as the platform defines it: numbers by value across kinds, strings by text,
  // dates by instant, bytes by content, arrays elementwise, dictionaries regardless of
  // order, references by their class's rule.
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }
  std::size_t hash() const;

  // Returns the text "%@" shows: strings as they are, numbers as numbers (Bool as 1/0),
  // null as "<null>", arrays "(a, b)", dictionaries "{k = v; ...}", dates in UTC.
  std::string description() const;

 private:
  struct Number {
    NumberKind kind;
    union {
      std::int64_t i;
      double d;
    };
  };
  using StrPtr = std::shared_ptr<const std::string>;
  using BytesPtr = std::shared_ptr<const Bytes>;
  using ArrayPtr = CowBox<Array>;
  using DictPtr = CowBox<Dictionary>;
  using RefPtr = std::shared_ptr<ValueReference>;
  using ConstRefPtr = std::shared_ptr<const ValueReference>;
  using Data = std::variant<std::monostate, Number, StrPtr, Date, BytesPtr, ArrayPtr, DictPtr, RefPtr, ConstRefPtr>;
  const ValueReference& referenceRef() const;

  template <typename T, typename P>
  static std::shared_ptr<T> castReference(const std::shared_ptr<P>& p) {
    using U = std::remove_const_t<T>;
    if constexpr (std::is_same_v<U, ValueReference>) {
      return p;
    } else if constexpr (requires { U::kReferenceKind; }) {
      if (p->referenceKind() != U::kReferenceKind) return nullptr;
      if constexpr (std::is_same_v<U, typename U::ReferenceKindRoot>) {
        return std::static_pointer_cast<T>(p);
      } else {
        return std::dynamic_pointer_cast<T>(p);
      }
    } else {
      return std::dynamic_pointer_cast<T>(p);
    }
  }

  static Value makeInt(NumberKind kind, std::int64_t v);
  static Value makeFloat(NumberKind kind, double v);

  Data data_;
};

// Dictionary's inline members need Value complete (clang instantiates the entry type eagerly).
inline void Dictionary::reserve(std::size_t n) { entries_.reserve(n); }
inline std::size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }
inline Dictionary::const_iterator Dictionary::begin() const { return entries_.begin(); }
inline Dictionary::const_iterator Dictionary::end() const { return entries_.end(); }

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hash(); }
};

}  // namespace keel
