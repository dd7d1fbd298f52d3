// Fuzz target: JSON text -> field operation through FieldOperationDecoder.
//
// For any JSON dictionary:
//  - decoding throws nothing but the documented refusals (InvalidArgumentException "Unable to
//    decode operation of type %@.", InternalInconsistencyException for ops of a batch that cannot
//    follow one another);
//  - a decoded operation encodes, and its text decodes to an operation that encodes the same;
//  - applying it to a missing value, a number, an array or a string, and merging it after
//    itself, either works or refuses with InternalInconsistencyException;
//  - the value decoders' change path never throws at all.
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
#include <keel/objects/FieldOperationDecoder.h>

#include "client/objects/ObjectTestSupport.h"

namespace {

using keel::FieldOperationPtr;
using keel::Value;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "field_operation_decoding: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

// Returns the decoded operation; none when the decoder refused it as documented.
std::optional<FieldOperationPtr> decode(const keel::Dictionary& d, std::string_view input) {
  try {
    return keel::FieldOperationDecoder::defaultDecoder().decode(d, *keel::Decoder::objectDecoder());
  } catch (const keel::InvalidArgumentException& e) {
    if (e.reason().rfind("Unable to decode operation of type ", 0) != 0) fail("unexpected refusal " + e.reason(), input);
    return std::nullopt;
  } catch (const keel::InternalInconsistencyException&) {
    return std::nullopt;
  } catch (const std::exception& e) {
    fail(std::string("decoding threw ") + e.what(), input);
  }
}

std::string encoded(const FieldOperationPtr& op, std::string_view input) {
  try {
    return keel::JSONSerialization::stringFromJSONObject(
        op->encodeWithObjectEncoder(*keel::PointerOrLocalIdObjectEncoder::objectEncoder()));
  } catch (const std::exception& e) {
    fail(std::string("encoding threw ") + e.what(), input);
  }
}

void applyOrRefuse(const FieldOperationPtr& op, const std::optional<Value>& old, std::string_view input) {
  try {
    op->applyToValue(old, "field");
  } catch (const keel::InternalInconsistencyException&) {
  } catch (const std::exception& e) {
    fail(std::string("applying threw ") + e.what(), input);
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
  try {
    keel::Decoder::objectDecoder()->decodeFieldChange(*json);
  } catch (const std::exception& e) {
    fail(std::string("the change path threw ") + e.what(), input);
  }
  if (!json->isDictionary()) return 0;

  std::optional<FieldOperationPtr> op = decode(json->dictionaryValue(), input);
  if (!op || !*op) return 0;
  std::string text = encoded(*op, input);
  std::optional<Value> reread = keel::JSONSerialization::JSONObjectFromString(text);
  if (!reread || !reread->isDictionary()) {
    // A set encodes as its bare value; every decoded operation is something else.
    fail("the encoded operation is not a dictionary: " + text, input);
  }
  std::optional<FieldOperationPtr> again = decode(reread->dictionaryValue(), input);
  if (!again || !*again || encoded(*again, input) != text) fail("the round trip is not stable: " + text, input);

  for (const std::optional<Value>& old :
       {std::optional<Value>(), std::optional<Value>(Value(1)), std::optional<Value>(Value(keel::Array{Value(1), Value("a")})),
        std::optional<Value>(Value("text"))}) {
    applyOrRefuse(*op, old, input);
  }
  try {
    (*op)->mergeWithPrevious(*op);
  } catch (const keel::InternalInconsistencyException&) {
  } catch (const std::exception& e) {
    fail(std::string("merging threw ") + e.what(), input);
  }
  return 0;
}
