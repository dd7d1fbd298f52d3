// Fuzz target: the bytes of one result-cache file, as the cache finds them on disk.
//
// For any bytes:
//  - decoding never reads outside them, and what it accepts encodes back to exactly the same
//    bytes (one file form per entry, so nothing else can pass for an entry);
//  - the cache, finding them under the name of a key, returns the decoded value when they hold
//    that key, and otherwise a miss; a file that is not a whole entry is removed, one that holds
//    another key is left in place.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <keel/base/Logger.h>
#include <keel/objects/KeyValueCache.h>
#include <keel/objects/internal/KeyValueCacheFile.h>

namespace {

std::string gDirectory;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "result_cache_file: %s\ninput (%zu bytes)\n", what.c_str(), input.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keel::Logger::sharedLogger().setLogLevel(0);
  char pattern[] = "/tmp/keel-fuzz-cache-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  gDirectory = pattern;
  std::atexit([] { std::filesystem::remove_all(gDirectory); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gDirectory.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const auto decoded = keel::internal::decodeKeyValueCacheFile(input);
  std::string key = "key";
  std::string value;
  if (decoded) {
    if (keel::internal::encodeKeyValueCacheFile(decoded->key, decoded->value, decoded->writeTime) != input) {
      fail("an accepted file does not encode back to itself", input);
    }
    key = std::string(decoded->key);
    value = std::string(decoded->value);
  }

  // Half of the entries are looked up under another key, as after two keys shared a digest.
  const bool sameKey = decoded && size % 2 == 0;
  const std::string lookup = sameKey ? key : key + "'";
  const std::string path = gDirectory + "/" + keel::internal::keyValueCacheFileName(lookup);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  // A clock at the file's own write time: age plays no part here.
  const keel::Date now = decoded ? decoded->writeTime : keel::dateNow();
  {
    keel::KeyValueCache cache(gDirectory, [now] { return now; });
    const auto found = cache.objectForKey(lookup, keel::KeyValueCache::kNoMaxAge);
    if (sameKey) {
      if (found != value) fail("a whole entry of the key was not returned", input);
    } else if (found) {
      fail("a value came back from a file that does not hold the key", input);
    }
    cache.waitForOutstandingOperations();
  }
  const bool present = std::filesystem::exists(path);
  if (!decoded && present) fail("a damaged file was left in place", input);
  if (decoded && !present) fail("a whole entry was removed", input);
  std::filesystem::remove(path);
  return 0;
}
