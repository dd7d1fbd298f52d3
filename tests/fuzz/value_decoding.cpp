// Fuzz target: JSON text -> backend values through the decoders.
//
// For any JSON document:
//  - decoding never throws, whatever the special values hold (malformed ones stay raw);
//  - decoding with known objects behaves the same;
//  - what decodes encodes again (except a relation naming an unsaved object, which the pointer
//    encoder refuses as documented), and encoding, writing, reading and decoding that output
//    gives the same encoded text: one round trip reaches a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>

#include "client/objects/ObjectTestSupport.h"

namespace {

using keel::Value;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "value_decoding: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

template <typename F>
Value mustNotThrow(F&& f, const char* what, std::string_view input) {
  try {
    return f();
  } catch (const keel::Exception& e) {
    fail(std::string(what) + " threw " + e.name() + ": " + e.reason(), input);
  } catch (const std::exception& e) {
    fail(std::string(what) + " threw " + e.what(), input);
  }
}

// Returns the encoded text of `decoded`, or none when encoding refuses it as documented.
std::optional<std::string> encodedText(const Value& decoded, std::string_view input) {
  try {
    Value encoded = keel::PointerOrLocalIdObjectEncoder::objectEncoder()->encodeObject(decoded);
    return keel::JSONSerialization::stringFromJSONObject(encoded);
  } catch (const keel::InternalInconsistencyException& e) {
    if (e.reason() == "Tried to save an object with a new, unsaved child.") return std::nullopt;
    fail("encoding threw " + e.reason(), input);
  } catch (const keel::Exception& e) {
    fail("encoding threw " + e.name() + ": " + e.reason(), input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keel::ObjectFactory::installFactory(std::make_shared<keel::testing::TestObjectFactory>());
  keel::Logger::sharedLogger().setLogLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!keel::ObjectFactory::installedFactory()) LLVMFuzzerInitialize(nullptr, nullptr);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<Value> json = keel::JSONSerialization::JSONObjectFromString(input);
  if (!json) return 0;

  Value decoded = mustNotThrow([&] { return keel::Decoder::objectDecoder()->decodeObject(*json); }, "decoding", input);
  auto known = keel::Decoder::decoderWithFetchedObjects({keel::testing::TestObject::saved("Video", "v1")});
  mustNotThrow([&] { return known->decodeObject(*json); }, "decoding with known objects", input);
  mustNotThrow([&] { return Value(keel::Decoder::objectDecoder()->decodeFieldChange(*json)); }, "decoding a change",
               input);

  std::optional<std::string> first = encodedText(decoded, input);
  if (!first) return 0;
  std::optional<Value> reread = keel::JSONSerialization::JSONObjectFromString(*first);
  if (!reread) fail("the encoded text does not read back: " + *first, input);
  Value again = mustNotThrow([&] { return keel::Decoder::objectDecoder()->decodeObject(*reread); }, "decoding again",
                            input);
  std::optional<std::string> second = encodedText(again, input);
  if (!second) fail("the round trip's output is refused: " + *first, input);
  if (*second != *first) fail("the round trip is not stable:\n  " + *first + "\n  " + *second, input);
  return 0;
}
