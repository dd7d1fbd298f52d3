#include <keel/base/Crypto.h>

#include <cctype>
#include <stdexcept>

#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace keel {

namespace {

void randomBytes(unsigned char* out, int n) {
  if (RAND_bytes(out, n) != 1) throw std::runtime_error("the random number generator failed");
}

std::string md5(const void* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data, size, digest, &len, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  std::string out;
  out.reserve(len * 2);
  for (unsigned int i = 0; i < len; ++i) out += fmt::format("{:02x}", digest[i]);
  return out;
}

}  // namespace

std::string md5HexDigest(std::string_view data) { return md5(data.data(), data.size()); }
std::string md5HexDigest(const Bytes& data) { return md5(data.data(), data.size()); }

std::string uuidV4Lowercase() {
  unsigned char b[16];
  randomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0x0f];
  }
  return out;
}

std::string uuidV4Uppercase() {
  std::string s = uuidV4Lowercase();
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::uint32_t random32() {
  std::uint32_t v;
  randomBytes(reinterpret_cast<unsigned char*>(&v), sizeof v);
  return v;
}

std::uint64_t random64() {
  std::uint64_t v;
  randomBytes(reinterpret_cast<unsigned char*>(&v), sizeof v);
  return v;
}

}  // namespace keel
