// Fuzz target: the bytes of a current-object file -> ObjectFileContents through ObjectFileLayout.
//
// For any bytes:
//  - the reader throws nothing, and a refusal always says why;
//  - what it accepts has a non-empty class name, no empty object id, and fields without the
//    keys the reader takes apart ("objectId", "createdAt", "updatedAt");
//  - what it accepts writes out in the current layout without throwing and reads back as the
//    same contents (a user's old top-level extras aside, which the current layout keeps in
//    "data"), and that text is a fixed point: reading and writing it again gives the same text;
//  - the object made from it keeps the class name and object id, and writing the object, making
//    an object of that file and writing it again gives the same bytes. The only refusals are the
//    object class's for a class name and the pointer encoder's for an unsaved related object.
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
#include <keel/offline/ObjectFileCoder.h>
#include <keel/offline/ObjectFileLayout.h>

namespace {

using keel::ObjectFileContents;
using keel::ObjectFileLayout;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "object_file: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

std::optional<ObjectFileContents> read(const keel::Bytes& data, std::string_view input) {
  std::string failure;
  try {
    auto contents = ObjectFileLayout::contentsFromData(data, failure);
    if (!contents && failure.empty()) fail("refused without a reason", input);
    return contents;
  } catch (const std::exception& e) {
    fail(std::string("reading threw ") + e.what(), input);
  }
}

std::string written(const ObjectFileContents& contents, std::string_view input) {
  try {
    return keel::JSONSerialization::stringFromJSONObject(ObjectFileLayout::documentFromContents(contents));
  } catch (const std::exception& e) {
    fail(std::string("writing threw ") + e.what(), input);
  }
}

keel::Bytes bytesOf(const std::string& text) { return keel::Bytes(text.begin(), text.end()); }

// Returns the object the contents describe; nullptr when the object class refuses the class name.
keel::ObjectPtr objectOf(const ObjectFileContents& contents, std::string_view input) {
  try {
    return keel::ObjectFileCoder::objectFromContents(contents, *keel::Decoder::objectDecoder());
  } catch (const keel::InvalidArgumentException& e) {
    if (e.reason().find("class name") == std::string::npos && e.reason().find("Class name") == std::string::npos) {
      fail("unexpected refusal " + e.reason(), input);
    }
    return nullptr;
  } catch (const std::exception& e) {
    fail(std::string("making the object threw ") + e.what(), input);
  }
}

// Returns the object's file; none when it holds an unsaved related object.
std::optional<keel::Bytes> fileOf(const keel::Object& object, std::string_view input) {
  try {
    return keel::ObjectFileCoder::dataFromObject(object, *keel::PointerObjectEncoder::objectEncoder());
  } catch (const keel::InternalInconsistencyException& e) {
    if (e.reason() != "Tried to save an object with a new, unsaved child.") fail("unexpected refusal " + e.reason(), input);
    return std::nullopt;
  } catch (const std::exception& e) {
    fail(std::string("writing the object threw ") + e.what(), input);
  }
}

void checkObject(const ObjectFileContents& contents, std::string_view input) {
  auto object = objectOf(contents, input);
  if (!object) return;
  if (object->className() != contents.className) fail("the object changed its class name", input);
  if (object->objectId() != contents.objectId) fail("the object changed its id", input);
  auto first = fileOf(*object, input);
  if (!first) return;
  auto reread = read(*first, input);
  if (!reread) fail("the object's file was refused", input);
  auto again = objectOf(*reread, input);
  if (!again) fail("the object's own class name was refused", input);
  auto second = fileOf(*again, input);
  if (!second || *second != *first) {
    fail("the object's file is not a fixed point: " + std::string(first->begin(), first->end()), input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keel::Logger::sharedLogger().setLogLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool initialized = (LLVMFuzzerInitialize(nullptr, nullptr), true);
  (void)initialized;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto contents = read(keel::Bytes(data, data + size), input);
  if (!contents) return 0;

  if (contents->className.empty()) fail("accepted an empty class name", input);
  if (contents->objectId && contents->objectId->empty()) fail("accepted an empty object id", input);
  for (const char* key : {"objectId", "createdAt", "updatedAt"}) {
    if (contents->fields.contains(key)) fail(std::string("kept ") + key + " among the fields", input);
  }

  const std::string text = written(*contents, input);
  auto back = read(bytesOf(text), input);
  if (!back) fail("its own output was refused: " + text, input);
  ObjectFileContents expected = *contents;
  expected.sessionToken.reset();
  expected.authData.reset();
  if (!(*back == expected)) fail("read back differently: " + text, input);
  if (written(*back, input) != text) fail("not a fixed point: " + text, input);
  checkObject(*contents, input);
  return 0;
}
