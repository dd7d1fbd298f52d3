// The file form of one key-value cache entry, and the names of the cache's files.
//
//   offset  size  field
//        0     8  "KEELKVC1"
//        8     8  write time, milliseconds since 1970 (signed, little-endian)
//       16     4  key length in bytes (little-endian)
//       20     8  value length in bytes (little-endian)
//       28     8  checksum of every other byte of the file (little-endian)
//       36        the key, then the value
//
// The file is exactly as long as its fields say. The checksum is there to catch damage (a file
// cut short by a crash before its data reached the disk, a flipped bit), not forgery.
//
// Thread-safety: free functions without state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <keel/base/Value.h>

namespace keel::internal {

inline constexpr std::size_t kKeyValueCacheFileHeaderSize = 36;

// A decoded file; the views point into the bytes it was decoded from.
struct KeyValueCacheFileContents {
  std::string_view key;
  std::string_view value;
  Date writeTime;
};

// Returns the file form of an entry.
std::string encodeKeyValueCacheFile(std::string_view key, std::string_view value, Date writeTime);
// Returns the size of the file form of an entry.
inline std::uint64_t keyValueCacheFileSize(std::size_t keyLength, std::size_t valueLength) {
  return kKeyValueCacheFileHeaderSize + static_cast<std::uint64_t>(keyLength) + valueLength;
}
// Returns the entry `bytes` hold, or none when they are not a whole, undamaged entry.
std::optional<KeyValueCacheFileContents> decodeKeyValueCacheFile(std::string_view bytes);

// Returns the name of the file that holds `key`: 32 lower-case hex digits.
std::string keyValueCacheFileName(std::string_view key);
// Returns true iff `name` has the form of an entry's file name.
bool isKeyValueCacheFileName(std::string_view name);
// Returns true iff `name` is a temporary file of a write in progress (or of one that died).
bool isKeyValueCacheTemporaryFileName(std::string_view name);
// Returns a fresh temporary name for a write of the file `name`.
std::string keyValueCacheTemporaryFileName(std::string_view name);

// Returns the 64-bit checksum of `data`, continuing from `seed`.
std::uint64_t keyValueCacheChecksum(std::uint64_t seed, std::string_view data);

}  // namespace keel::internal
