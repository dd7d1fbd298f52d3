#include <keel/objects/internal/KeyValueCacheFile.h>

#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstring>

#include <fmt/format.h>

#include <keel/base/Crypto.h>

namespace keel::internal {
namespace {

constexpr char kMagic[8] = {'K', 'E', 'E', 'L', 'K', 'V', 'C', '1'};
constexpr std::size_t kWriteTimeOffset = 8;
constexpr std::size_t kKeyLengthOffset = 16;
constexpr std::size_t kValueLengthOffset = 20;
constexpr std::size_t kChecksumOffset = 28;
constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr std::uint64_t kChecksumSeed = 0x6b65656c6b766331ULL;

constexpr std::uint64_t kPrime1 = 0x9e3779b185ebca87ULL;
constexpr std::uint64_t kPrime2 = 0xc2b2ae3d27d4eb4fULL;

std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

std::uint64_t load(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

std::uint64_t load64(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t v;
    std::memcpy(&v, u, 8);
    return v;
  } else {
    return load(u, 8);
  }
}

void store(char* p, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint64_t headerChecksum(std::string_view header, std::string_view body) {
  // Every byte but the checksum field itself.
  std::uint64_t h = keyValueCacheChecksum(kChecksumSeed, header.substr(0, kChecksumOffset));
  return keyValueCacheChecksum(h, body);
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::uint64_t keyValueCacheChecksum(std::uint64_t seed, std::string_view data) {
  // Word-at-a-time mixing with a final avalanche: gigabytes per second, and any change of a
  // byte, a length or an order changes the result with overwhelming likelihood.
  std::uint64_t h = seed ^ (static_cast<std::uint64_t>(data.size()) * kPrime1);
  const char* p = data.data();
  std::size_t left = data.size();
  while (left >= 8) {
    h ^= rotl(load64(p) * kPrime2, 31) * kPrime1;
    h = rotl(h, 27) * kPrime1 + kPrime2;
    p += 8;
    left -= 8;
  }
  if (left > 0) {
    h ^= rotl(load(reinterpret_cast<const unsigned char*>(p), left) * kPrime2, 31) * kPrime1;
    h = rotl(h, 27) * kPrime1 + kPrime2;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

std::string encodeKeyValueCacheFile(std::string_view key, std::string_view value, Date writeTime) {
  std::string out(kKeyValueCacheFileHeaderSize + key.size() + value.size(), '\0');
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  store(out.data() + kWriteTimeOffset, static_cast<std::uint64_t>(millisFromDate(writeTime)), 8);
  store(out.data() + kKeyLengthOffset, key.size(), 4);
  store(out.data() + kValueLengthOffset, value.size(), 8);
  if (!key.empty()) std::memcpy(out.data() + kKeyValueCacheFileHeaderSize, key.data(), key.size());
  if (!value.empty()) std::memcpy(out.data() + kKeyValueCacheFileHeaderSize + key.size(), value.data(), value.size());
  const std::string_view all(out);
  store(out.data() + kChecksumOffset,
        headerChecksum(all.substr(0, kKeyValueCacheFileHeaderSize), all.substr(kKeyValueCacheFileHeaderSize)), 8);
  return out;
}

std::optional<KeyValueCacheFileContents> decodeKeyValueCacheFile(std::string_view bytes) {
  if (bytes.size() < kKeyValueCacheFileHeaderSize) return std::nullopt;
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint64_t keyLength = load(u + kKeyLengthOffset, 4);
  const std::uint64_t valueLength = load(u + kValueLengthOffset, 8);
  const std::uint64_t body = bytes.size() - kKeyValueCacheFileHeaderSize;
  // Compared without adding the two lengths, which could wrap.
  if (keyLength > body || valueLength != body - keyLength) return std::nullopt;
  const std::string_view header = bytes.substr(0, kKeyValueCacheFileHeaderSize);
  const std::string_view rest = bytes.substr(kKeyValueCacheFileHeaderSize);
  if (load(u + kChecksumOffset, 8) != headerChecksum(header, rest)) return std::nullopt;
  KeyValueCacheFileContents contents;
  contents.key = rest.substr(0, keyLength);
  contents.value = rest.substr(keyLength);
  contents.writeTime = dateFromMillis(static_cast<std::int64_t>(load(u + kWriteTimeOffset, 8)));
  return contents;
}

std::string keyValueCacheFileName(std::string_view key) { return md5HexDigest(key); }

bool isKeyValueCacheFileName(std::string_view name) {
  if (name.size() != 32) return false;
  for (char c : name) {
    if (!isLowerHex(c)) return false;
  }
  return true;
}

bool isKeyValueCacheTemporaryFileName(std::string_view name) {
  return name.size() > 32 && isKeyValueCacheFileName(name.substr(0, 32)) && name.substr(32, kTemporaryMarker.size()) == kTemporaryMarker;
}

std::string keyValueCacheTemporaryFileName(std::string_view name) {
  // Unique among the processes sharing the directory (the process id) and among the writes of
  // this one (a counter); the writer creates it exclusively, so a leftover of a dead process
  // with the same id is never written into.
  static std::atomic<std::uint64_t> counter{0};
  return fmt::format("{}{}{:x}-{:x}", name, kTemporaryMarker, static_cast<unsigned long>(::getpid()),
                     counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace keel::internal
