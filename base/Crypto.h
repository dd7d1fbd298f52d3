// Small shared helpers over OpenSSL: MD5 digests, random version-4 UUIDs, random numbers.
//
// Thread-safety: free functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <keel/base/Value.h>

namespace keel {

// Returns the MD5 digest of `data` as 32 lower-case hex digits.
std::string md5HexDigest(std::string_view data);
std::string md5HexDigest(const Bytes& data);

// Returns a random version-4 UUID, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string uuidV4Lowercase();
std::string uuidV4Uppercase();

// Returns cryptographically random numbers.
std::uint32_t random32();
std::uint64_t random64();

}  // namespace keel
