#include <keel/base/Base64Encoder.h>

#include <gtest/gtest.h>

namespace keel {
namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64EncoderTest, EncodesAndDecodesTheStandardVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Encoder::base64StringFromData(bytesOf(plain)), encoded);
    EXPECT_EQ(Base64Encoder::dataFromBase64String(encoded), bytesOf(plain)) << encoded;
  }
}

TEST(Base64EncoderTest, RoundTripsEveryByteValueWithoutLineBreaks) {
  Bytes all;
  for (int i = 0; i < 256 * 3; ++i) all.push_back(static_cast<std::uint8_t>(i * 7));
  std::string text = Base64Encoder::base64StringFromData(all);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_NE(text.find('+'), std::string::npos);
  EXPECT_NE(text.find('/'), std::string::npos);
  EXPECT_EQ(Base64Encoder::dataFromBase64String(text), all);
}

TEST(Base64EncoderTest, IgnoresCharactersOutsideTheAlphabet) {
  EXPECT_EQ(Base64Encoder::dataFromBase64String("Zm9v\r\nYmFy"), bytesOf("foobar"));
  EXPECT_EQ(Base64Encoder::dataFromBase64String(" Z m 9 v Y g = = "), bytesOf("foob"));
  EXPECT_EQ(Base64Encoder::dataFromBase64String("Zm9v*Y-g_=="), bytesOf("foob"));
  // Unpadded text is read as if it were padded.
  EXPECT_EQ(Base64Encoder::dataFromBase64String("Zm9vYg"), bytesOf("foob"));
}

TEST(Base64EncoderTest, GivesNoDataForUndecodableText) {
  for (const char* bad : {"Z", "Zm9vY", "Zg===", "Zg=a", "=Zg", "Zm9=v", "Zg=", "Zm9vY=="}) {
    EXPECT_FALSE(Base64Encoder::dataFromBase64String(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace keel
