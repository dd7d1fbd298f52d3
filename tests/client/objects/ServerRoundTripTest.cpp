// Values and field operations against the keel-server program over HTTP: what the client
// encodes, the backend stores and gives back as the same value, and an operation the client
// merged from two yields on the backend the value the client estimated locally.
#include <random>

#include <gtest/gtest.h>

#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/FieldOperation.h>
#include <keel/objects/File.h>
#include <keel/objects/GeoPoint.h>

#include "client/objects/ObjectTestSupport.h"
#include "support/KeelServerProcess.h"

namespace keel {
namespace {

using testing::InstalledTestFactory;
using testing::KeelServerProcess;
using testing::TestObject;

class NoDataSource : public CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "round-trip-installation"; }
};

class ServerRoundTripTest : public testing::WithKeelServer<::testing::Test> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_->started()) << "keel-server did not start";
    runner_ = URLSessionCommandRunner::commandRunnerWithDataSource(source_, server_->options().applicationId,
                                                                   server_->options().clientKey, server_->url());
  }

  // Sends the command and returns the reply, or fails the test with the error.
  Value send(const std::string& path, const std::string& method, std::optional<Dictionary> body = std::nullopt) {
    auto command = RESTCommand::commandWithHTTPPath(path, method, std::move(body), std::nullopt);
    ErrorPtr error;
    auto result = runner_->runCommandAsync(command, 0).waitForResult(&error, false);
    if (error || !result) {
      ADD_FAILURE() << method << " " << path << ": " << (error ? error->description() : "no result");
      return Value();
    }
    return result->result();
  }

  // Creates an object of `className` with the encoded fields and returns its id.
  std::string create(const Dictionary& fields, const std::string& className = "RoundTrip") {
    Value encoded = PointerObjectEncoder::objectEncoder()->encodeObject(Value(fields));
    Value reply = send("classes/" + className, "POST", encoded.dictionaryValue());
    return reply.get("objectId").isString() ? reply.get("objectId").stringValue() : std::string();
  }

  // Returns the stored object's fields, decoded.
  Dictionary fetch(const std::string& objectId, const std::string& className = "RoundTrip") {
    Value reply = send("classes/" + className + "/" + objectId, "GET");
    Value decoded = Decoder::objectDecoder()->decodeObject(reply);
    return decoded.isDictionary() ? decoded.dictionaryValue() : Dictionary();
  }

  InstalledTestFactory installed_;
  std::shared_ptr<NoDataSource> source_ = std::make_shared<NoDataSource>();
  std::shared_ptr<URLSessionCommandRunner> runner_;
};


TEST_F(ServerRoundTripTest, EveryStorableKindComesBackAsItWasSent) {
  Dictionary fields{
      {"text", Value("héllo \"quoted\" \\ \u2603")},
      {"int", Value(42)},
      {"negative", Value(-2147483647 - 1)},
      {"big", Value(9007199254740993LL)},
      {"double", Value(0.1)},
      {"wholeDouble", Value(1.0)},
      {"huge", Value(1e21)},
      {"tiny", Value(5e-324)},
      {"bool", Value(true)},
      {"null", Value()},
      {"list", Value(Array{Value(1), Value("two"), Value(Array{Value(3.5)}), Value()})},
      {"nested", Value(Dictionary{{"inner", Value(Dictionary{{"deep", Value(false)}})}})},
      {"date", Value(dateFromMillis(1433147400125))},
      {"oldDate", Value(dateFromMillis(-62135596800000))},  // 0001-01-01
      {"bytes", Value(Bytes{0, 1, 2, 250, 255})},
      {"emptyBytes", Value(Bytes{})},
      {"pointer", Value(TestObject::saved("Video", "v1"))},
      {"file", Value(File::fileWithName("a.png", "https://files.example/a.png"))},
      {"point", Value(GeoPoint::geoPointWithLatitude(-33.5, 151.25))},
  };
  const std::string id = create(fields);
  ASSERT_FALSE(id.empty());
  Dictionary back = fetch(id);

  for (const char* plain : {"text", "int", "negative", "big", "double", "wholeDouble", "huge", "tiny", "bool", "null",
                            "list", "nested", "date", "oldDate", "bytes", "emptyBytes", "point"}) {
    EXPECT_EQ(back[plain], fields[plain]) << plain << " came back as " << back[plain].description();
  }
  // Kinds, not only values: a whole double stays a floating number, a date a date.
  EXPECT_EQ(back["wholeDouble"].numberKind(), Value::NumberKind::Double);
  EXPECT_NE(back["int"].numberKind(), Value::NumberKind::Double);
  EXPECT_EQ(back["big"].int64Value(), 9007199254740993LL) << "a 64-bit integer went through a double";
  EXPECT_TRUE(back["date"].isDate());
  EXPECT_TRUE(back["bytes"].isBytes());

  auto pointer = back["pointer"].as<TestObject>();
  ASSERT_NE(pointer, nullptr);
  EXPECT_EQ(pointer->className(), "Video");
  EXPECT_EQ(pointer->objectId(), "v1");
  auto file = back["file"].as<File>();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->name(), "a.png");
  EXPECT_EQ(file->url(), "https://files.example/a.png");
}

// Random operation pairs over small numbers, strings and arrays of them.
class Operations {
 public:
  explicit Operations(unsigned seed) : rng_(seed) {}

  Value number() {
    switch (pick(4)) {
      case 0: return Value(static_cast<int>(pick(7)) - 3);
      case 1: return Value(2147483647 - static_cast<int>(pick(2)));
      case 2: return Value(static_cast<double>(static_cast<int>(pick(9)) - 4) / 4.0);
      default: return Value(static_cast<long long>(pick(100)) << 33);
    }
  }
  Value element() { return pick(2) ? Value(static_cast<int>(pick(4))) : Value(std::string(1, char('a' + pick(3)))); }
  Array array() {
    Array out;
    for (std::size_t n = pick(4); n > 0; --n) out.push_back(element());
    return out;
  }
  std::optional<Value> old() {
    switch (pick(4)) {
      case 0: return std::nullopt;
      case 1: return number();
      default: return Value(array());
    }
  }
  FieldOperationPtr op() {
    switch (pick(6)) {
      case 0: return std::make_shared<const SetOperation>(pick(2) ? number() : Value(array()));
      case 1: return DeleteOperation::operation();
      case 2: return std::make_shared<const IncrementOperation>(number());
      case 3: return std::make_shared<const AddOperation>(array());
      case 4: return std::make_shared<const AddUniqueOperation>(array());
      default: return std::make_shared<const RemoveOperation>(array());
    }
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::mt19937 rng_;
};

TEST_F(ServerRoundTripTest, AMergedOperationSavedToTheBackendGivesTheLocalEstimate) {
  Operations gen(7321);
  int compared = 0;
  for (int i = 0; i < 400 && compared < 60; ++i) {
    FieldOperationPtr first = gen.op(), second = gen.op();
    std::optional<Value> old = gen.old();
    FieldOperationPtr merged;
    std::optional<Value> estimate;
    try {
      merged = second->mergeWithPrevious(first);
      // The client refuses a sequence that cannot apply before anything is sent.
      estimate = second->applyToValue(first->applyToValue(old, "f"), "f");
      EXPECT_EQ(merged->applyToValue(old, "f"), estimate);
    } catch (const InternalInconsistencyException&) {
      continue;
    }
    const std::string context = first->description() + " then " + second->description() + " on " +
                                (old ? old->description() : "none");
    // The backend keeps the type a field was first stored with, so a change of kind is refused
    // there by design; those pairs say nothing about the operations.
    if (old && estimate && old->type() != estimate->type()) continue;
    // A class of its own for every pair: the field's type is fixed per class.
    const std::string className = "Ops" + std::to_string(i);
    Dictionary initial{{"tag", Value("op")}};
    if (old) initial.set("f", *old);
    const std::string id = create(initial, className);
    ASSERT_FALSE(id.empty()) << context;
    Value change = merged->encodeWithObjectEncoder(*PointerObjectEncoder::objectEncoder());
    send("classes/" + className + "/" + id, "PUT", Dictionary{{"f", change}});
    Dictionary stored = fetch(id, className);
    ASSERT_EQ(stored.contains("f"), estimate.has_value()) << context;
    if (estimate) EXPECT_EQ(stored["f"], *estimate) << context << ": backend " << stored["f"].description();
    ++compared;
  }
  EXPECT_GE(compared, 60);
}

}  // namespace
}  // namespace keel
