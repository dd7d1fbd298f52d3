#include <keel/base/Crypto.h>

#include <regex>
#include <set>

#include <gtest/gtest.h>

namespace keel {
namespace {

TEST(CryptoTest, DigestsMatchTheMd5TestSuite) {
  EXPECT_EQ(md5HexDigest(std::string_view("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5HexDigest(std::string_view("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5HexDigest(std::string_view("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5HexDigest(std::string_view(
                "12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
            "57edf4a22be3c955ac49da2e2107b67a");
  // Bytes with a zero inside are digested whole, not as a C string.
  Bytes withNul{'a', 0, 'b'};
  EXPECT_EQ(md5HexDigest(withNul), md5HexDigest(std::string_view("a\0b", 3)));
  EXPECT_NE(md5HexDigest(withNul), md5HexDigest(std::string_view("a")));
}

TEST(CryptoTest, MakesDistinctVersionFourUuids) {
  const std::regex lower("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const std::regex upper("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string l = uuidV4Lowercase(), u = uuidV4Uppercase();
    EXPECT_TRUE(std::regex_match(l, lower)) << l;
    EXPECT_TRUE(std::regex_match(u, upper)) << u;
    seen.insert(l);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(CryptoTest, RandomNumbersUseAllTheirBits) {
  std::uint32_t or32 = 0, and32 = ~0u;
  std::uint64_t or64 = 0, and64 = ~0ull;
  for (int i = 0; i < 64; ++i) {
    auto a = random32();
    auto b = random64();
    or32 |= a, and32 &= a, or64 |= b, and64 &= b;
  }
  // After 64 draws every bit has been both 0 and 1 unless the generator is broken
  // (chance of a false failure about 2^-57 per bit).
  EXPECT_EQ(or32, ~0u);
  EXPECT_EQ(and32, 0u);
  EXPECT_EQ(or64, ~0ull);
  EXPECT_EQ(and64, 0ull);
}

}  // namespace
}  // namespace keel
