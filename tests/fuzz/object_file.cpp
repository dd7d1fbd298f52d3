// Fuzz target: the bytes of a current-object file -> ObjectFileContents through ObjectFileLayout.
//
// For any bytes:
//  - the reader throws nothing, and a refusal always says why;
//  - what it accepts has a non-empty class name, no empty object id, and fields without the
//    keys the reader takes apart ("objectId", "createdAt", "updatedAt");
//  - what it accepts writes out in the current layout without throwing and reads back as the
//    same contents (a user's old top-level extras aside, which the current layout keeps in
//    "data"), and that text is a fixed point: reading and writing it again gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
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
  return 0;
}
