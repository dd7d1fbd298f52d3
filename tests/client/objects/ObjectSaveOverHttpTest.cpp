#include <keel/objects/Object.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <keel/base/JSONSerialization.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include "support/ScriptedHttpServer.h"

namespace keel {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedHttpServer;
using testing::ScriptedResponse;

class InstallationOnly : public CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "inst-test"; }
};

std::string pending(const Object& object) {
  return JSONSerialization::stringFromJSONObject(Value(
      Object::_convertToDictionaryForSaving(object.unsavedChanges(), *PointerOrLocalIdObjectEncoder::objectEncoder())));
}

// A save sent to a server that takes its time, with edits made before the reply arrives.
class ObjectSaveOverHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runner = URLSessionCommandRunner::commandRunnerWithDataSource(std::make_shared<InstallationOnly>(), "app-id",
                                                                  "client-key", server.baseURL(), {});
    object = Object::objectWithClassName("Video", Dictionary{{"Title", Value("Calm")}, {"Plays", Value(1)}});
  }

  // Sends the object's changes, edits it while the request is held by the server, and
  // returns the reply once it came.
  Task<CommandResultPtr> saveWhileEditing(Object::PendingSave& save) {
    Dictionary body = Object::_convertToDictionaryForSaving(save.operationSet(), *PointerObjectEncoder::objectEncoder());
    auto task = runner->runCommandAsync(RESTCommand::commandWithHTTPPath("classes/Video", "POST", body, std::nullopt),
                                        kCommandRunningOptionNone);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (server.requests().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_FALSE(task.isCompleted());
    object->incrementKey("Plays");
    object->setObject(Value("Busy"), "Title");
    task.waitForResult(nullptr, false);
    return task;
  }

  ScriptedHttpServer server;
  std::shared_ptr<URLSessionCommandRunner> runner;
  ObjectPtr object;
};

TEST_F(ObjectSaveOverHttpTest, EditsDuringASuccessfulSaveStayPendingOverTheSavedValues) {
  auto reply = ScriptedResponse::json(201, R"({"objectId":"v1","createdAt":"2020-01-02T03:04:05.006Z"})");
  reply.delay = 300ms;
  server.enqueue(reply);
  auto save = object->_startSave();
  auto task = saveWhileEditing(save);
  ASSERT_TRUE(task.result()) << (task.error() ? task.error()->description() : "no result");
  save.finishWithResult(task.result()->result().dictionaryValue(), *Decoder::objectDecoder());

  EXPECT_EQ(server.requests().at(0).body, R"({"Title":"Calm","Plays":1})");
  EXPECT_EQ(object->objectId(), "v1");
  EXPECT_EQ(object->_state()->serverData()["Title"], Value("Calm"));
  EXPECT_EQ(pending(*object), R"({"Plays":{"__op":"Increment","amount":1},"Title":"Busy"})");
  EXPECT_EQ(object->objectForKey("Plays"), Value(2));
  EXPECT_EQ(object->objectForKey("Title"), Value("Busy"));
}

TEST_F(ObjectSaveOverHttpTest, EditsDuringAFailedSaveAreMergedOnTopOfTheUnsentChanges) {
  auto reply = ScriptedResponse::json(400, R"({"code":111,"error":"refused"})");
  reply.delay = 300ms;
  server.enqueue(reply);
  auto save = object->_startSave();
  auto task = saveWhileEditing(save);
  ASSERT_TRUE(task.error());
  save.fail();

  EXPECT_EQ(object->objectId(), std::nullopt);
  EXPECT_FALSE(object->_hasOutstandingOperations());
  EXPECT_EQ(pending(*object), R"({"Plays":2,"Title":"Busy"})");
  EXPECT_EQ(object->objectForKey("Plays"), Value(2));
}

}  // namespace
}  // namespace keel
