#include <keel/base/Format.h>

#include <gtest/gtest.h>

#include <keel/base/Error.h>

namespace keel {
namespace {

TEST(FormatMessageTest, FillsObjectAndIntegerConversionsInOrder) {
  EXPECT_EQ(formatMessage("%@ is not the designated initializer for instances of %@.", "init",
                          "KeelManager"),
            "init is not the designated initializer for instances of KeelManager.");
  EXPECT_EQ(formatMessage("%d-%ld-%lu-%zd-%i", 1, 2L, 3UL, -4L, 5), "1-2-3--4-5");
  EXPECT_EQ(formatMessage("%02x%02x", 10, 255), "0aff");
  EXPECT_EQ(formatMessage("100%% %s", std::string("done")), "100% done");
}

TEST(FormatMessageTest, ShowsMissingAndNullArgumentsAsTheyAreOnThePlatform) {
  const char* none = nullptr;
  EXPECT_EQ(formatMessage("[%@]", none), "[(null)]");
  EXPECT_EQ(formatMessage("[%@]"), "[(null)]");
  EXPECT_EQ(formatMessage("[%@]", Value()), "[<null>]");
}

TEST(FormatMessageTest, DescribesValuesAndReferences) {
  Value v(Array{Value(1), Value("a"), Value(Dictionary{{"k", Value(true)}})});
  EXPECT_EQ(formatMessage("%@", v), "(1, a, {k = 1})");
  auto error = Error::keel(100, "offline");
  EXPECT_EQ(formatMessage("%@", error),
            "Error Domain=Keel Code=100 \"offline\" UserInfo={code = 100; error = offline}");
  EXPECT_EQ(formatMessage("%.2f", 1.5), "1.50");
}

}  // namespace
}  // namespace keel
