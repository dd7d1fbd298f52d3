// Fuzz target: JSON text -> an object through its persisted form (mergeFromRESTDictionary), as
// current-object files and the local datastore read it back.
//
// For any JSON dictionary:
//  - merging it into a shell never throws: the form comes from files that may be damaged;
//  - the object then answers reads, change tracking and its own persisted form;
//  - writing that form, reading the text back and merging it into a new shell gives the same
//    form: one round trip reaches a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/Object.h>

namespace {

using keel::Object;
using keel::Value;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "persisted_object: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

template <typename F>
auto mustNotThrow(F&& f, const char* what, std::string_view input) {
  try {
    return f();
  } catch (const keel::Exception& e) {
    fail(std::string(what) + " threw " + e.name() + ": " + e.reason(), input);
  } catch (const std::exception& e) {
    fail(std::string(what) + " threw " + e.what(), input);
  }
}

// Reads `form` into a new shell and returns that object's persisted form as text.
std::string roundTrip(const keel::Dictionary& form, std::string_view input) {
  auto object = Object::objectWithoutDataWithClassNameObjectId("Video", "v");
  mustNotThrow([&] { object->mergeFromRESTDictionary(form, *keel::Decoder::objectDecoder()); return 0; }, "merging",
               input);
  mustNotThrow([&] {
    (void)object->isDirty();
    (void)object->allKeys();
    (void)object->description();
    for (const auto& key : object->allKeys()) (void)object->objectForKey(key);
    return 0;
  }, "reading", input);
  keel::Dictionary persisted = mustNotThrow(
      [&] { return object->RESTDictionaryWithObjectEncoder(*keel::PointerOrLocalIdObjectEncoder::objectEncoder()); },
      "writing the persisted form", input);
  return mustNotThrow([&] { return keel::JSONSerialization::stringFromJSONObject(Value(persisted)); },
                      "writing the text", input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keel::Logger::sharedLogger().setLogLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int initialized = LLVMFuzzerInitialize(nullptr, nullptr);
  (void)initialized;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<Value> json = keel::JSONSerialization::JSONObjectFromString(input);
  if (!json || !json->isDictionary()) return 0;

  std::string first = roundTrip(json->dictionaryValue(), input);
  std::optional<Value> reread = keel::JSONSerialization::JSONObjectFromString(first);
  if (!reread || !reread->isDictionary()) fail("the persisted form does not read back: " + first, input);
  std::string second = roundTrip(reread->dictionaryValue(), input);
  std::optional<Value> rereadAgain = keel::JSONSerialization::JSONObjectFromString(second);
  if (!rereadAgain || !(*rereadAgain == *reread)) {
    fail("the round trip is not stable:\n  " + first + "\n  " + second, input);
  }
  return 0;
}
