#include <keel/offline/ObjectFileLayout.h>

#include <gtest/gtest.h>


namespace keel {
namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::optional<ObjectFileContents> read(const std::string& text, std::string* failureOut = nullptr) {
  std::string failure;
  auto contents = ObjectFileLayout::contentsFromData(bytes(text), failure);
  if (failureOut) *failureOut = failure;
  return contents;
}

Value pointer(const std::string& className, const std::string& objectId) {
  return Dictionary{{"__type", "Pointer"}, {"className", className}, {"objectId", objectId}};
}

TEST(ObjectFileLayoutTest, OlderLayoutsReadAsTheCurrentOne) {
  auto current = read(R"({"classname": "Thing", "data": {"objectId": "t1", "createdAt": "2015-01-01T00:00:00.000Z",
      "updatedAt": "2015-01-02T00:00:00.000Z", "size": 2,
      "owner": {"__type": "Pointer", "className": "_User", "objectId": "u1"}}})");
  ASSERT_TRUE(current);

  // "className", a top-level id and dates, related objects as pairs.
  auto old = read(R"({"className": "Thing", "id": "t1", "created_at": "2015-01-01T00:00:00.000Z",
      "updated_at": "2015-01-02T00:00:00.000Z", "data": {"size": 2}, "pointers": {"owner": ["_User", "u1"]}})");
  ASSERT_TRUE(old);
  EXPECT_EQ(*old, *current);

  // Dates stored as encoded date values read as their text.
  auto encodedDates = read(R"({"classname": "Thing", "data": {"objectId": "t1", "size": 2,
      "createdAt": {"__type": "Date", "iso": "2015-01-01T00:00:00.000Z"},
      "updatedAt": {"__type": "Date", "iso": "2015-01-02T00:00:00.000Z"},
      "owner": {"__type": "Pointer", "className": "_User", "objectId": "u1"}}})");
  ASSERT_TRUE(encodedDates);
  EXPECT_EQ(*encodedDates, *current);
}

TEST(ObjectFileLayoutTest, NewFormsWinOverOldOnes) {
  auto contents = read(R"({"classname": "New", "className": "Old", "id": "old-id",
      "created_at": "2000-01-01T00:00:00.000Z", "data": {"objectId": "new-id",
      "createdAt": "2020-01-01T00:00:00.000Z", "owner": "kept unless a pointer says otherwise"},
      "pointers": {"owner": ["_User", "u9"]},
      "session_token": "r:old-style", "sessionToken": "r:new-style",
      "auth_data": {"anonymous": {"id": "a"}}, "authData": {"other": null}})");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->className, "New");
  EXPECT_EQ(contents->objectId, "new-id");
  EXPECT_EQ(contents->createdAt, "2020-01-01T00:00:00.000Z");
  // The pointers of an old layout go over "data", as the old readers applied them.
  EXPECT_EQ(contents->fields["owner"], pointer("_User", "u9"));
  // Old user files wrote the underscore names; those are taken first.
  EXPECT_EQ(contents->sessionToken, "r:old-style");
  ASSERT_TRUE(contents->authData);
  EXPECT_TRUE(contents->authData->contains("anonymous"));
}

// An old layout without "data" lost its pointers: they became fields of a "data" that was never
// there.
TEST(ObjectFileLayoutTest, LayoutWithoutDataKeepsItsPointers) {
  auto contents = read(R"({"className": "_User", "id": "u1", "session_token": "r:abc",
      "auth_data": {"anonymous": {"id": "x"}, "gone": null},
      "pointers": {"team": ["Team", "t1"], "coach": ["_User", "u2"]}})");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->objectId, "u1");
  EXPECT_EQ(contents->fields.size(), 2u);
  EXPECT_EQ(contents->fields["team"], pointer("Team", "t1"));
  EXPECT_EQ(contents->fields["coach"], pointer("_User", "u2"));
  EXPECT_EQ(contents->sessionToken, "r:abc");
  ASSERT_TRUE(contents->authData);
  EXPECT_TRUE((*contents->authData)["gone"].isNull());
  EXPECT_TRUE(contents->authData->contains("gone"));
}

TEST(ObjectFileLayoutTest, EntriesOfTheWrongTypeAreDroppedAndTheRestKept) {
  auto contents = read(R"({"className": "Thing", "id": 12, "created_at": 5, "updated_at": [],
      "session_token": 7, "auth_data": "text",
      "pointers": {"good": ["A", "a1"], "short": ["A"], "long": ["A", "a", "b"], "number": ["A", 3],
                   "empty": ["", "a"], "object": {"A": "a"}, "text": "A:a"}})");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->className, "Thing");
  EXPECT_FALSE(contents->objectId);
  EXPECT_FALSE(contents->createdAt);
  EXPECT_FALSE(contents->updatedAt);
  EXPECT_FALSE(contents->sessionToken);
  EXPECT_FALSE(contents->authData);
  EXPECT_EQ(contents->fields.keys(), std::vector<std::string>{"good"});

  // Pointers that are not a dictionary at all, and a null "data", leave an empty object.
  auto bare = read(R"({"className": "Thing", "data": null, "pointers": ["A", "a"]})");
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->fields.empty());

  // An id of the wrong type in "data" falls back to the top-level one.
  auto fallback = read(R"({"classname": "Thing", "id": "top", "data": {"objectId": 4}})");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->objectId, "top");
}

TEST(ObjectFileLayoutTest, DamagedFilesAreRefusedWithAReason) {
  const std::vector<std::string> damaged = {
      "",
      "{\"classname\": \"Thing\", \"data\": {\"objectId\": \"t",  // cut off mid-write
      "garbage",
      "[\"classname\", \"Thing\"]",
      "\"Thing\"",
      "{}",
      R"({"data": {"objectId": "t1"}})",
      R"({"classname": "", "data": {}})",
      R"({"classname": 3, "className": null})",
      R"({"classname": "Thing", "data": [1, 2]})",
      R"({"classname": "Thing", "data": "text"})",
      "{\"classname\": \"\xff\xfe\", \"data\": {}}",
  };
  for (const auto& text : damaged) {
    std::string failure;
    EXPECT_FALSE(read(text, &failure)) << text;
    EXPECT_FALSE(failure.empty()) << text;
  }
}

}  // namespace
}  // namespace keel
