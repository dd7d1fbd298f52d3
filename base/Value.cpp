#include <keel/base/Value.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include <fmt/format.h>

namespace keel {

namespace {

const std::string kEmptyString;
const Bytes kEmptyBytes;
const Array kEmptyArray;
const Dictionary kEmptyDictionary;
const Value kNullValue;

std::size_t mix(std::size_t seed, std::size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// Hash of a numeric value that agrees with cross-kind equality: integral values hash as
// integers whatever kind holds them.
std::size_t hashNumber(bool isInteger, std::int64_t i, double d) {
  if (isInteger) return std::hash<std::int64_t>()(i);
  if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18) {
    return std::hash<std::int64_t>()(static_cast<std::int64_t>(d));
  }
  if (std::isnan(d)) return 0x7ff8;
  return std::hash<double>()(d);
}

std::string formatDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  return fmt::format("{}", d);
}

}  // namespace

Date dateNow() {
  return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

std::string ValueReference::description() const {
  return fmt::format("<{}: {}>", className(), static_cast<const void*>(this));
}

// ---------------------------------------------------------------------------------------------
// Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& e : entries) set(e.first, e.second);
}

bool Dictionary::contains(std::string_view key) const { return find(key) != nullptr; }

std::size_t Dictionary::position(std::string_view key) const {
  if (!index_.empty()) {
    const std::size_t mask = index_.size() - 1;
    for (std::size_t slot = std::hash<std::string_view>()(key) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = index_[slot];
      if (entry == 0) return kNone;
      if (entries_[entry - 1].first == key) return entry - 1;
    }
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return i;
  }
  return kNone;
}

const Value* Dictionary::find(std::string_view key) const {
  std::size_t i = position(key);
  return i == kNone ? nullptr : &entries_[i].second;
}

Value* Dictionary::find(std::string_view key) {
  std::size_t i = position(key);
  return i == kNone ? nullptr : &entries_[i].second;
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : kNullValue;
}

Value& Dictionary::at(std::string_view key) {
  if (Value* v = find(key)) return *v;
  append(std::string(key), Value());
  return entries_.back().second;
}

void Dictionary::set(std::string key, Value value) {
  if (Value* v = find(key)) {
    *v = std::move(value);
    return;
  }
  append(std::move(key), std::move(value));
}

void Dictionary::append(std::string key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
  if (!index_.empty() && 2 * entries_.size() <= index_.size()) {
    indexEntry(entries_.size() - 1);
  } else if (entries_.size() > kIndexThreshold) {
    reindex();
  }
}

bool Dictionary::remove(std::string_view key) {
  std::size_t i = position(key);
  if (i == kNone) return false;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
  reindex();
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.clear();
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

void Dictionary::reindex() {
  if (entries_.size() <= kIndexThreshold) {
    index_.clear();
    return;
  }
  std::size_t slots = 32;
  while (slots < 2 * entries_.size()) slots *= 2;
  index_.assign(slots, 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) indexEntry(i);
}

void Dictionary::indexEntry(std::size_t i) {
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = std::hash<std::string_view>()(entries_[i].first) & mask;
  while (index_[slot] != 0) slot = (slot + 1) & mask;
  index_[slot] = static_cast<std::uint32_t>(i + 1);
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [k, v] : entries_) {
    const Value* o = other.find(k);
    if (!o || !(*o == v)) return false;
  }
  return true;
}

std::size_t Dictionary::hash() const {
  // Order-independent: a sum of per-entry hashes.
  std::size_t h = entries_.size();
  for (const auto& [k, v] : entries_) h += mix(std::hash<std::string>()(k), v.hash());
  return h;
}

// ---------------------------------------------------------------------------------------------
// Value

Value Value::makeInt(NumberKind kind, std::int64_t v) {
  Value out;
  Number n{kind, {}};
  n.i = v;
  out.data_ = n;
  return out;
}

Value Value::makeFloat(NumberKind kind, double v) {
  Value out;
  Number n{kind, {}};
  n.d = v;
  out.data_ = n;
  return out;
}

Value::Value(bool b) : Value(makeInt(NumberKind::Bool, b ? 1 : 0)) {}
Value::Value(std::int8_t n) : Value(makeInt(NumberKind::Int8, n)) {}
Value::Value(std::int16_t n) : Value(makeInt(NumberKind::Int16, n)) {}
Value::Value(int n) : Value(makeInt(NumberKind::Int32, n)) {}
Value::Value(unsigned int n) : Value(makeInt(NumberKind::UInt32, n)) {}
Value::Value(long n) : Value(makeInt(NumberKind::Int64, n)) {}
Value::Value(long long n) : Value(makeInt(NumberKind::Int64, n)) {}
Value::Value(unsigned long n)
    : Value(makeInt(NumberKind::Int64,
                    n > static_cast<unsigned long>(std::numeric_limits<std::int64_t>::max())
                        ? std::numeric_limits<std::int64_t>::max()
                        : static_cast<std::int64_t>(n))) {}
Value::Value(unsigned long long n)
    : Value(makeInt(NumberKind::Int64,
                    n > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())
                        ? std::numeric_limits<std::int64_t>::max()
                        : static_cast<std::int64_t>(n))) {}
Value::Value(float n) : Value(makeFloat(NumberKind::Float, n)) {}
Value::Value(double n) : Value(makeFloat(NumberKind::Double, n)) {}
Value::Value(const char* s) : data_(std::make_shared<const std::string>(s ? s : "")) {}
Value::Value(std::string s) : data_(std::make_shared<const std::string>(std::move(s))) {}
Value::Value(std::string_view s) : data_(std::make_shared<const std::string>(s)) {}
Value::Value(Date d) : data_(d) {}
Value::Value(Bytes b) : data_(std::make_shared<const Bytes>(std::move(b))) {}
Value::Value(Array a) : data_(ArrayPtr(std::move(a))) {}
Value::Value(Dictionary d) : data_(DictPtr(std::move(d))) {}

Value Value::number(NumberKind kind, double value) {
  switch (kind) {
    case NumberKind::Float:
      return Value(static_cast<float>(value));
    case NumberKind::Double:
      return Value(value);
    case NumberKind::Bool:
      return Value(value != 0);
    default:
      return makeInt(kind, static_cast<std::int64_t>(value));
  }
}

Value Value::sum(const Value& a, const Value& b) {
  auto na = std::get_if<Number>(&a.data_);
  auto nb = std::get_if<Number>(&b.data_);
  Number zero{NumberKind::Int32, {}};
  zero.i = 0;
  const Number& x = na ? *na : zero;
  const Number& y = nb ? *nb : zero;
  auto isFloating = [](NumberKind k) { return k == NumberKind::Float || k == NumberKind::Double; };
  if (!isFloating(x.kind) && !isFloating(y.kind)) {
    // Exact: two int64 values always fit 128 bits.
    __int128 s = static_cast<__int128>(x.i) + static_cast<__int128>(y.i);
    if (x.kind == NumberKind::UInt32) {
      if (s >= 0 && s <= std::numeric_limits<std::uint32_t>::max())
        return makeInt(NumberKind::UInt32, static_cast<std::int64_t>(s));
    } else if (x.kind != NumberKind::Int64) {
      if (s >= std::numeric_limits<std::int32_t>::min() && s <= std::numeric_limits<std::int32_t>::max())
        return makeInt(NumberKind::Int32, static_cast<std::int64_t>(s));
    }
    if (s >= std::numeric_limits<std::int64_t>::min() && s <= std::numeric_limits<std::int64_t>::max())
      return makeInt(NumberKind::Int64, static_cast<std::int64_t>(s));
    return makeFloat(NumberKind::Double, static_cast<double>(s));
  }
  double dx = isFloating(x.kind) ? x.d : static_cast<double>(x.i);
  double dy = isFloating(y.kind) ? y.d : static_cast<double>(y.i);
  if (x.kind == NumberKind::Float && y.kind == NumberKind::Float) {
    float f = static_cast<float>(x.d) + static_cast<float>(y.d);
    if (std::isfinite(f) || !std::isfinite(dx) || !std::isfinite(dy))
      return makeFloat(NumberKind::Float, f);
  }
  // An int64 beyond 2^53 would lose its low bits before the addition; with a whole floating
  // operand the sum is taken exactly and rounded once.
  const Number& fl = isFloating(x.kind) ? x : y;
  const Number& in = isFloating(x.kind) ? y : x;
  if (!isFloating(in.kind) && std::isfinite(fl.d) && fl.d == std::trunc(fl.d) &&
      std::fabs(fl.d) < 9.2e18) {
    __int128 s = static_cast<__int128>(in.i) + static_cast<__int128>(static_cast<std::int64_t>(fl.d));
    return makeFloat(NumberKind::Double, static_cast<double>(s));
  }
  return makeFloat(NumberKind::Double, dx + dy);
}

Value::Type Value::type() const {
  switch (data_.index()) {
    case 0: return Type::Null;
    case 1: return Type::Number;
    case 2: return Type::String;
    case 3: return Type::Date;
    case 4: return Type::Bytes;
    case 5: return Type::Array;
    case 6: return Type::Dictionary;
    default: return Type::Reference;
  }
}

bool Value::isBool() const {
  auto n = std::get_if<Number>(&data_);
  return n && n->kind == NumberKind::Bool;
}

bool Value::isIntegerNumber() const {
  auto n = std::get_if<Number>(&data_);
  return n && n->kind != NumberKind::Float && n->kind != NumberKind::Double;
}

Value::NumberKind Value::numberKind() const {
  auto n = std::get_if<Number>(&data_);
  return n ? n->kind : NumberKind::Int32;
}

bool Value::boolValue() const {
  auto n = std::get_if<Number>(&data_);
  if (!n) return false;
  return isIntegerNumber() ? n->i != 0 : n->d != 0;
}

std::int64_t Value::int64Value() const {
  auto n = std::get_if<Number>(&data_);
  if (!n) return 0;
  if (isIntegerNumber()) return n->i;
  if (!std::isfinite(n->d)) return 0;
  if (n->d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (n->d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(n->d);
}

std::int32_t Value::intValue() const { return static_cast<std::int32_t>(int64Value()); }
std::uint32_t Value::uint32Value() const { return static_cast<std::uint32_t>(int64Value()); }

double Value::doubleValue() const {
  auto n = std::get_if<Number>(&data_);
  if (!n) return 0;
  return isIntegerNumber() ? static_cast<double>(n->i) : n->d;
}

float Value::floatValue() const { return static_cast<float>(doubleValue()); }

const std::string& Value::stringValue() const {
  auto s = std::get_if<StrPtr>(&data_);
  return s ? **s : kEmptyString;
}

Date Value::dateValue() const {
  auto d = std::get_if<Date>(&data_);
  return d ? *d : Date{};
}

const Bytes& Value::bytesValue() const {
  auto b = std::get_if<BytesPtr>(&data_);
  return b ? **b : kEmptyBytes;
}

const Array& Value::arrayValue() const {
  auto a = std::get_if<ArrayPtr>(&data_);
  return a ? a->get() : kEmptyArray;
}

const Dictionary& Value::dictionaryValue() const {
  auto d = std::get_if<DictPtr>(&data_);
  return d ? d->get() : kEmptyDictionary;
}

Array& Value::mutableArray() {
  auto a = std::get_if<ArrayPtr>(&data_);
  if (!a) {
    data_ = ArrayPtr(Array{});
    a = std::get_if<ArrayPtr>(&data_);
  }
  return a->mutableGet();
}

Dictionary& Value::mutableDictionary() {
  auto d = std::get_if<DictPtr>(&data_);
  if (!d) {
    data_ = DictPtr(Dictionary{});
    d = std::get_if<DictPtr>(&data_);
  }
  return d->mutableGet();
}

std::optional<ReferenceKind> Value::referenceKind() const {
  if (auto r = std::get_if<RefPtr>(&data_)) return (*r)->referenceKind();
  if (auto r = std::get_if<ConstRefPtr>(&data_)) return (*r)->referenceKind();
  return std::nullopt;
}

std::shared_ptr<ValueReference> Value::reference() const {
  auto r = std::get_if<RefPtr>(&data_);
  return r ? *r : nullptr;
}

std::shared_ptr<const ValueReference> Value::constReference() const {
  if (auto r = std::get_if<RefPtr>(&data_)) return *r;
  if (auto r = std::get_if<ConstRefPtr>(&data_)) return *r;
  return nullptr;
}

const ValueReference& Value::referenceRef() const {
  if (auto r = std::get_if<RefPtr>(&data_)) return **r;
  return *std::get<ConstRefPtr>(data_);
}

std::optional<std::string> Value::optionalString() const {
  if (auto s = std::get_if<StrPtr>(&data_)) return **s;
  return std::nullopt;
}

std::optional<double> Value::optionalNumber() const {
  if (isNumber()) return doubleValue();
  return std::nullopt;
}

const Value& Value::get(std::string_view key) const { return dictionaryValue()[key]; }
bool Value::contains(std::string_view key) const { return dictionaryValue().contains(key); }

bool Value::operator==(const Value& other) const {
  if (data_.index() != other.data_.index()) return false;
  switch (type()) {
    case Type::Null:
      return true;
    case Type::Number: {
      const auto& a = std::get<Number>(data_);
      const auto& b = std::get<Number>(other.data_);
      bool ai = isIntegerNumber(), bi = other.isIntegerNumber();
      if (ai && bi) return a.i == b.i;
      if (!ai && !bi) return a.d == b.d;
      // One integer, one floating: equal when the floating value is exactly that integer.
      std::int64_t i = ai ? a.i : b.i;
      double d = ai ? b.d : a.d;
      return std::isfinite(d) && d == std::trunc(d) && d >= -9.2233720368547758e18 &&
             d < 9.2233720368547758e18 && static_cast<std::int64_t>(d) == i;
    }
    case Type::String: {
      const auto& a = std::get<StrPtr>(data_);
      const auto& b = std::get<StrPtr>(other.data_);
      return a == b || *a == *b;
    }
    case Type::Date:
      return std::get<Date>(data_) == std::get<Date>(other.data_);
    case Type::Bytes: {
      const auto& a = std::get<BytesPtr>(data_);
      const auto& b = std::get<BytesPtr>(other.data_);
      return a == b || *a == *b;
    }
    case Type::Array: {
      const auto& a = std::get<ArrayPtr>(data_);
      const auto& b = std::get<ArrayPtr>(other.data_);
      return a == b || a.get() == b.get();
    }
    case Type::Dictionary: {
      const auto& a = std::get<DictPtr>(data_);
      const auto& b = std::get<DictPtr>(other.data_);
      return a == b || a.get() == b.get();
    }
    case Type::Reference: {
      const auto& a = referenceRef();
      const auto& b = other.referenceRef();
      return &a == &b || a.isEqual(b);
    }
  }
  return false;
}

std::size_t Value::hash() const {
  switch (type()) {
    case Type::Null:
      return 0;
    case Type::Number: {
      const auto& n = std::get<Number>(data_);
      return hashNumber(isIntegerNumber(), n.i, n.d);
    }
    case Type::String:
      return std::hash<std::string>()(stringValue());
    case Type::Date:
      return std::hash<std::int64_t>()(millisFromDate(dateValue())) ^ 0xda7e;
    case Type::Bytes: {
      const auto& b = bytesValue();
      return std::hash<std::string_view>()(
                 std::string_view(reinterpret_cast<const char*>(b.data()), b.size())) ^
             0xb17e;
    }
    case Type::Array: {
      std::size_t h = 0xa77a;
      for (const auto& v : arrayValue()) h = mix(h, v.hash());
      return h;
    }
    case Type::Dictionary:
      return dictionaryValue().hash();
    case Type::Reference:
      return referenceRef().hash();
  }
  return 0;
}

namespace {

std::string dateDescription(Date d) {
  std::int64_t ms = millisFromDate(d);
  std::int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} +0000", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace

std::string Value::description() const {
  switch (type()) {
    case Type::Null:
      return "<null>";
    case Type::Number: {
      const auto& n = std::get<Number>(data_);
      if (isIntegerNumber()) return std::to_string(n.i);
      // A float is shown at float precision ("0.1"), not as the double it widens to.
      if (n.kind == NumberKind::Float && std::isfinite(n.d))
        return fmt::format("{}", static_cast<float>(n.d));
      return formatDouble(n.d);
    }
    case Type::String:
      return stringValue();
    case Type::Date:
      return dateDescription(dateValue());
    case Type::Bytes: {
      std::string out = "{length = " + std::to_string(bytesValue().size()) + ", bytes = 0x";
      std::size_t shown = 0;
      for (auto b : bytesValue()) {
        if (shown++ == 32) {
          out += "...";
          break;
        }
        out += fmt::format("{:02x}", b);
      }
      return out + "}";
    }
    case Type::Array: {
      std::string out = "(";
      bool first = true;
      for (const auto& v : arrayValue()) {
        if (!first) out += ", ";
        first = false;
        out += v.description();
      }
      return out + ")";
    }
    case Type::Dictionary: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, v] : dictionaryValue()) {
        if (!first) out += "; ";
        first = false;
        out += k + " = " + v.description();
      }
      return out + "}";
    }
    case Type::Reference:
      return referenceRef().description();
  }
  return {};
}

}  // namespace keel
