#include <keel/offline/ObjectFileCoder.h>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/offline/ObjectFilePersistenceController.h>
#include <keel/storage/MultiProcessFileLock.h>

#include "support/StorageTestSupport.h"

namespace keel {
namespace {

Dictionary parse(std::string_view text) {
  return JSONSerialization::JSONObjectFromString(text).value_or(Value()).dictionaryValue();
}

// Returns an object as a fetch from the server leaves it.
ObjectPtr fetchedThing() {
  return Object::_objectFromDictionary(
      parse(R"({"objectId": "t1", "createdAt": "2015-06-01T08:30:00.125Z", "updatedAt": "2015-06-02T09:00:00.500Z",
                "name": "lamp", "tags": ["a", "b"], "size": 2.5,
                "owner": {"__type": "Pointer", "className": "Person", "objectId": "p1"},
                "when": {"__type": "Date", "iso": "2014-01-01T00:00:00.000Z"}})"),
      "Thing", true);
}

class ObjectFileCoderTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    manager = KeelManager::initWithApplicationId("app", "client-key");
    controller = ObjectFilePersistenceController::controllerWithDataSource(manager);
  }

  ObjectPtr load(const std::string& key, std::exception_ptr* exception = nullptr) {
    auto task = controller->loadPersistentObjectAsyncForKey(key);
    task.waitUntilFinished();
    if (exception) *exception = task.exception();
    EXPECT_FALSE(task.error());
    return task.result();
  }

  std::shared_ptr<KeelManager> manager;
  std::shared_ptr<ObjectFilePersistenceController> controller;
};

void expectSameAsFetched(const ObjectPtr& loaded) {
  ASSERT_TRUE(loaded);
  auto original = fetchedThing();
  EXPECT_EQ(loaded->className(), "Thing");
  EXPECT_EQ(loaded->objectId(), "t1");
  EXPECT_EQ(loaded->createdAt(), original->createdAt());
  EXPECT_EQ(loaded->updatedAt(), original->updatedAt());
  EXPECT_TRUE(loaded->isDataAvailable());
  EXPECT_FALSE(loaded->isDirty(false));
  for (const char* key : {"name", "tags", "size", "when"}) {
    EXPECT_EQ(loaded->objectForKey(key), original->objectForKey(key)) << key;
  }
  auto owner = loaded->objectForKey("owner").value_or(Value()).as<Object>();
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->className(), "Person");
  EXPECT_EQ(owner->objectId(), "p1");
  EXPECT_FALSE(owner->isDataAvailable());
}

TEST_F(ObjectFileCoderTest, StoredObjectLoadsBackWithItsClassIdDatesAndFields) {
  ErrorPtr error;
  controller->persistObjectAsync(fetchedThing(), "currentThing").waitForResult(&error);
  ASSERT_FALSE(error);
  const std::string path = controller->filePathForKey("currentThing");
  EXPECT_EQ(parse(read(path))["classname"].stringValue(), "Thing");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600);
  expectSameAsFetched(load("currentThing"));
  // Every access has ended: the lock is free for other processes.
  EXPECT_EQ(MultiProcessFileLockController::sharedController().lockedContentAccessCountForFileAtPath(path), 0u);

  EXPECT_FALSE(load("noSuchKey"));
}

TEST_F(ObjectFileCoderTest, OldLayoutLoadsAsTheSameObject) {
  write(controller->filePathForKey("currentThing"),
        R"({"className": "Thing", "id": "t1", "created_at": "2015-06-01T08:30:00.125Z",
            "updated_at": "2015-06-02T09:00:00.500Z", "pointers": {"owner": ["Person", "p1"]},
            "data": {"name": "lamp", "tags": ["a", "b"], "size": 2.5,
                     "when": {"__type": "Date", "iso": "2014-01-01T00:00:00.000Z"}}})");
  expectSameAsFetched(load("currentThing"));
}

TEST_F(ObjectFileCoderTest, ObjectWithAnUnsavedRelatedObjectIsNotWritten) {
  ErrorPtr error;
  controller->persistObjectAsync(fetchedThing(), "currentThing").waitForResult(&error);
  ASSERT_FALSE(error);
  const std::string before = read(controller->filePathForKey("currentThing"));

  auto thing = fetchedThing();
  auto state = thing->_state()->mutableCopy();
  state->setServerDataObject(Value(Object::objectWithClassName("Person")), "owner");
  thing->_setState(*state);
  auto task = controller->persistObjectAsync(thing, "currentThing");
  task.waitUntilFinished();
  ASSERT_TRUE(task.exception());
  EXPECT_THROW(std::rethrow_exception(task.exception()), InternalInconsistencyException);
  EXPECT_EQ(read(controller->filePathForKey("currentThing")), before);
}

// A class the process has not registered is no reason to throw the file away.
TEST_F(ObjectFileCoderTest, RefusedClassNameFailsTheLoadAndKeepsTheFile) {
  const std::string stored = R"({"classname": "_Unregistered", "data": {"objectId": "x1"}})";
  write(controller->filePathForKey("currentThing"), stored);
  std::exception_ptr exception;
  EXPECT_FALSE(load("currentThing", &exception));
  EXPECT_TRUE(exception);
  EXPECT_EQ(read(controller->filePathForKey("currentThing")), stored);
}

class RecordingLogic : public ObjectFileCodingLogic {
 public:
  void updateObject(Object& object, const ObjectFileContents& contents, const Decoder& decoder) const override {
    sessionToken = contents.sessionToken;
    ObjectFileCodingLogic::updateObject(object, contents, decoder);
    object._mergeAfterFetchWithResult(Dictionary{{"hooked", true}}, decoder, false);
  }
  mutable std::optional<std::string> sessionToken;
};

TEST_F(ObjectFileCoderTest, ClassesWithMoreInTheirFileRegisterTheirOwnLogic) {
  auto logic = std::make_shared<RecordingLogic>();
  ObjectFileCodingLogic::registerCodingLogic("Member", logic);
  const std::string text = R"({"className": "Member", "id": "m1", "session_token": "r:abc", "data": {"name": "ann"}})";
  auto member = ObjectFileCoder::objectFromData(Bytes(text.begin(), text.end()), *Decoder::objectDecoder());
  auto other = ObjectFileCoder::objectFromData(
      JSONSerialization::dataFromJSONObject(Value(parse(R"({"classname": "Thing", "data": {}})"))),
      *Decoder::objectDecoder());
  ObjectFileCodingLogic::registerCodingLogic("Member", nullptr);

  EXPECT_EQ(logic->sessionToken, "r:abc");
  EXPECT_EQ(member->objectForKey("name"), Value("ann"));
  EXPECT_EQ(member->objectForKey("hooked"), Value(true));
  EXPECT_FALSE(other->objectForKey("hooked"));
  EXPECT_EQ(ObjectFileCodingLogic::codingLogicForClassName("Member"), ObjectFileCodingLogic::codingLogic());
  EXPECT_THROW(ObjectFileCoder::objectFromData(Bytes{'{', '}'}, *Decoder::objectDecoder()), InvalidArgumentException);
}

}  // namespace
}  // namespace keel
