#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/ACL.h>
#include <keel/objects/FieldOperation.h>
#include <keel/objects/File.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/Relation.h>
#include <keel/tasks/TaskCompletionSource.h>

#include "client/objects/ObjectTestSupport.h"

#include "support/ExceptionTestSupport.h"

namespace keel {
namespace {

using testing::CapturedLog;
using testing::InstalledTestFactory;
using testing::TestObject;

using testing::parse;

std::string text(const Value& v) { return JSONSerialization::stringFromJSONObject(v); }

// Encodes with `encoder`, writes JSON text, reads it back and decodes it.
Value throughText(const Value& v, const Encoder& encoder = *PointerOrLocalIdObjectEncoder::objectEncoder()) {
  return Decoder::objectDecoder()->decodeObject(parse(text(encoder.encodeObject(v))));
}

using testing::reasonOf;

class CodingTest : public ::testing::Test {
 protected:
  InstalledTestFactory installed;
};

TEST_F(CodingTest, EveryKindRoundTripsThroughJSONText) {
  auto target = TestObject::saved("Video", "v1");
  auto relation = Relation::relationWithTargetClass("Video");
  relation->addKnownObject(target);
  Dictionary fields{
      {"text", Value("héllo \"quoted\"")},
      {"int", Value(42)},
      {"big", Value(9007199254740993LL)},
      {"double", Value(0.1)},
      {"bool", Value(true)},
      {"null", Value()},
      {"list", Value(Array{Value(1), Value("two"), Value(Array{Value(3.5)})})},
      {"date", Value(dateFromMillis(1433147400125))},
      {"bytes", Value(Bytes{0, 1, 2, 250, 255})},
      {"emptyBytes", Value(Bytes{})},
      {"pointer", Value(target)},
      {"file", Value(File::fileWithName("a.png", "https://files.example/a.png"))},
      {"point", Value(GeoPoint::geoPointWithLatitude(-33.5, 151.25))},
      {"relation", Value(relation)},
      {"op", IncrementOperation::incrementWithAmount(Value(2))->toValue()},
  };
  Value back = throughText(Value(fields));
  const Dictionary& d = back.dictionaryValue();

  for (const char* plain : {"text", "int", "big", "double", "bool", "null", "list", "date", "bytes", "emptyBytes"}) {
    EXPECT_EQ(d[plain], fields[plain]) << plain << ": " << d[plain].description();
  }
  EXPECT_TRUE(d["date"].isDate());
  EXPECT_TRUE(d["bytes"].isBytes());

  auto pointer = d["pointer"].as<TestObject>();
  ASSERT_NE(pointer, nullptr);
  EXPECT_NE(pointer, target) << "a pointer decodes to a shell, not to the original";
  EXPECT_EQ(pointer->className(), "Video");
  EXPECT_EQ(pointer->objectId(), "v1");

  auto file = d["file"].as<File>();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->name(), "a.png");
  EXPECT_EQ(file->url(), "https://files.example/a.png");
  EXPECT_FALSE(file->isDirty());

  EXPECT_EQ(d["point"], fields["point"]);
  EXPECT_TRUE(d["point"].isReferenceOfKind(ReferenceKind::GeoPoint));

  auto rel = d["relation"].as<Relation>();
  ASSERT_NE(rel, nullptr);
  EXPECT_EQ(rel->targetClass(), "Video");
  ASSERT_EQ(rel->knownObjects().size(), 1u);
  EXPECT_EQ(rel->knownObjects()[0]->objectId(), "v1");

  auto op = d["op"].as<const IncrementOperation>();
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(op->amount(), Value(2));
}

TEST_F(CodingTest, WritesSpecialValuesInTheirExactForms) {
  auto encoder = PointerObjectEncoder::objectEncoder();
  EXPECT_EQ(text(encoder->encodeObject(Value(dateFromMillis(1433147400125)))),
            R"({"__type":"Date","iso":"2015-06-01T08:30:00.125Z"})");
  EXPECT_EQ(text(encoder->encodeObject(Value(Bytes{'h', 'i', '!'}))), R"({"__type":"Bytes","base64":"aGkh"})");
  EXPECT_EQ(text(encoder->encodeObject(Value(TestObject::saved("Video", "v1")))),
            R"({"__type":"Pointer","objectId":"v1","className":"Video"})");
  EXPECT_EQ(text(encoder->encodeObject(Value(File::fileWithName("a", "u")))), R"({"__type":"File","url":"u","name":"a"})");
  // A file that is not uploaded yet is only a placeholder.
  EXPECT_EQ(text(encoder->encodeObject(Value(std::make_shared<File>("a", "u", true)))), R"({"__type":"File"})");
  // An access-control list travels as its permissions dictionary, without "__type".
  auto acl = ACL::ACLWithDictionary(Dictionary{{"*", Value(Dictionary{{"read", Value(true)}, {"write", Value(false)}})},
                                               {"u1", Value(Dictionary{{"write", Value(true)}})}});
  EXPECT_EQ(text(encoder->encodeObject(Value(acl))), R"({"*":{"read":true},"u1":{"write":true}})");
  // A relation without known objects still writes its (empty) list.
  EXPECT_EQ(text(encoder->encodeObject(Value(Relation::relationWithTargetClass("Video")))),
            R"({"__type":"Relation","className":"Video","objects":[]})");
  // Keys are kept, nested values encoded, the input untouched.
  Value nested(Dictionary{{"when", Value(Array{Value(dateFromMillis(0))})}});
  Value encoded = encoder->encodeObject(nested);
  EXPECT_EQ(text(encoded), R"({"when":[{"__type":"Date","iso":"1970-01-01T00:00:00.000Z"}]})");
  EXPECT_TRUE(nested.get("when").arrayValue()[0].isDate());
}

TEST_F(CodingTest, DatesAreWrittenInUTCWhateverTheTimeZone) {
  const char* saved = std::getenv("TZ");
  std::string previous = saved ? saved : "";
  Date instant = dateFromMillis(1433147400125);
  for (const char* tz : {"UTC", "America/Los_Angeles", "Asia/Kolkata", "Pacific/Chatham", "Europe/Berlin"}) {
    setenv("TZ", tz, 1);
    tzset();
    Value encoded = PointerObjectEncoder::objectEncoder()->encodeObject(Value(instant));
    EXPECT_EQ(encoded.get("iso").stringValue(), "2015-06-01T08:30:00.125Z") << tz;
    EXPECT_EQ(throughText(Value(instant)).dateValue(), instant) << tz;
    // Text with an offset names the same instant anywhere.
    Value offset = parse(R"({"__type":"Date","iso":"2015-06-01T10:30:00.125+02:00"})");
    EXPECT_EQ(Decoder::objectDecoder()->decodeObject(offset).dateValue(), instant) << tz;
  }
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(CodingTest, ReadsLooseDateTextsAndGivesTheEpochForUnreadableOnes) {
  auto decode = [](const char* iso) {
    return Decoder::objectDecoder()->decodeObject(Value(Dictionary{{"__type", Value("Date")}, {"iso", Value(iso)}}));
  };
  EXPECT_EQ(decode("2015-06-01T08:30:00Z").dateValue(), dateFromMillis(1433147400000));
  EXPECT_EQ(decode("2015-06-01 08:30:00").dateValue(), dateFromMillis(1433147400000));
  Value unreadable = decode("not a date");
  ASSERT_TRUE(unreadable.isDate());
  EXPECT_EQ(unreadable.dateValue(), dateFromMillis(0));
}

TEST_F(CodingTest, RefusesDatesTheTextCannotName) {
  auto encoder = PointerObjectEncoder::objectEncoder();
  // 9999-12-31T23:59:59.999Z and 0000-01-01T00:00:00.000Z are the ends of the four-digit years.
  EXPECT_EQ(encoder->encodeObject(Value(dateFromMillis(253402300799999))).get("iso").stringValue(),
            "9999-12-31T23:59:59.999Z");
  EXPECT_EQ(encoder->encodeObject(Value(dateFromMillis(-62167219200000))).get("iso").stringValue(),
            "0000-01-01T00:00:00.000Z");
  for (std::int64_t millis : {253402300800000LL, -62167219200001LL, 4102444800000000LL}) {
    EXPECT_EQ(reasonOf([&] { encoder->encodeObject(Value(Array{Value(dateFromMillis(millis))})); }),
              "InvalidArgumentException: Object values must be serializable to JSON")
        << millis;
  }
}

TEST_F(CodingTest, EachEncoderWritesObjectsByItsOwnPolicy) {
  auto saved = TestObject::saved("Video", "v1");
  auto unsaved = TestObject::unsaved("Video");
  Value inList(Array{Value(Dictionary{{"o", Value(unsaved)}})});

  EXPECT_TRUE(Encoder::objectEncoder()->encodeObject(Value(saved)).isNull());
  EXPECT_EQ(reasonOf([&] { NoObjectEncoder::objectEncoder()->encodeObject(Value(saved)); }),
            "InternalInconsistencyException: Objects are not allowed here.");
  EXPECT_EQ(reasonOf([&] { NoObjectEncoder::objectEncoder()->encodeObject(inList); }),
            "InternalInconsistencyException: Objects are not allowed here.");
  EXPECT_EQ(reasonOf([&] { PointerObjectEncoder::objectEncoder()->encodeObject(inList); }),
            "InternalInconsistencyException: Tried to save an object with a new, unsaved child.");

  Value first = PointerOrLocalIdObjectEncoder::objectEncoder()->encodeObject(Value(unsaved));
  EXPECT_EQ(first.get("__type"), Value("Pointer"));
  EXPECT_EQ(first.get("className"), Value("Video"));
  ASSERT_TRUE(first.get("localId").isString());
  EXPECT_FALSE(first.contains("objectId"));
  // The object keeps the local id it was given.
  Value second = PointerOrLocalIdObjectEncoder::objectEncoder()->encodeObject(inList);
  EXPECT_EQ(second.arrayValue()[0].get("o").get("localId"), first.get("localId"));
  EXPECT_EQ(unsaved->localId(), first.get("localId").stringValue());

  // An operation always refers to objects by pointer or local id, whichever encoder is asked.
  Value op = AddOperation::addWithObjects(Array{Value(unsaved)})->toValue();
  Value viaNoObjects = NoObjectEncoder::objectEncoder()->encodeObject(op);
  EXPECT_EQ(viaNoObjects.get("objects").arrayValue()[0].get("localId"), first.get("localId"));
}

TEST_F(CodingTest, DecodesPointersAndObjects) {
  auto decoder = Decoder::objectDecoder();
  auto both = decoder->decodeObject(
      parse(R"({"__type":"Pointer","className":"Video","objectId":"v1","localId":"local_00000000000000aa"})"));
  auto byLocalId = both.as<TestObject>();
  ASSERT_NE(byLocalId, nullptr);
  EXPECT_EQ(byLocalId->localId(), "local_00000000000000aa") << "the local id wins over the object id";
  EXPECT_FALSE(byLocalId->objectId());

  Value object = decoder->decodeObject(parse(
      R"({"__type":"Object","className":"Video","objectId":"v2","when":{"__type":"Date","iso":"2015-06-01T08:30:00.125Z"}})"));
  auto built = object.as<TestObject>();
  ASSERT_NE(built, nullptr);
  EXPECT_EQ(built->className(), "Video");
  EXPECT_EQ(built->objectId(), "v2");
  EXPECT_TRUE(built->complete);
  EXPECT_FALSE(built->fields.contains("__type"));
  EXPECT_FALSE(built->fields.contains("className"));
  EXPECT_TRUE(built->fields["when"].isDate()) << "nested values are decoded before the object is built";
}

TEST_F(CodingTest, KnownObjectsAreMatchedByClassAndId) {
  auto known = TestObject::saved("Video", "x1");
  auto decoder = Decoder::decoderWithFetchedObjects({known});
  EXPECT_EQ(decoder->decodeObject(parse(R"({"__type":"Pointer","className":"Video","objectId":"x1"})")).as<TestObject>(),
            known);
  // Same id, other class: a different row.
  auto other = decoder->decodeObject(parse(R"({"__type":"Pointer","className":"User","objectId":"x1"})")).as<TestObject>();
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, known);
  EXPECT_EQ(other->className(), "User");
  // Nested pointers go through the same hook.
  Value nested = decoder->decodeObject(parse(R"({"list":[{"__type":"Pointer","className":"Video","objectId":"x1"}]})"));
  EXPECT_EQ(nested.get("list").arrayValue()[0].as<TestObject>(), known);
}

TEST_F(CodingTest, LeavesUnknownTypesAloneAndPrefersOperations) {
  Value unknown = parse(R"({"__type":"Polygon","inner":{"__type":"Date","iso":"2015-06-01T08:30:00.125Z"}})");
  Value decoded = Decoder::objectDecoder()->decodeObject(unknown);
  EXPECT_EQ(decoded, unknown);
  EXPECT_TRUE(decoded.get("inner").isDictionary()) << "values inside an unknown type stay encoded";

  Value both = Decoder::objectDecoder()->decodeObject(parse(R"({"__op":"Delete","__type":"Date","iso":"x"})"));
  EXPECT_NE(both.as<const DeleteOperation>(), nullptr);
}

TEST_F(CodingTest, AnEmptyBatchIsNoChange) {
  auto decoder = Decoder::objectDecoder();
  EXPECT_TRUE(decoder->decodeObject(parse(R"({"__op":"Batch","ops":[]})")).isNull());
  Value fields = decoder->decodeObject(parse(R"({"a":{"__op":"Batch","ops":[]},"b":{"__op":"Delete"}})"));
  EXPECT_FALSE(fields.contains("a")) << "no change must not read as a set to null";
  EXPECT_NE(fields.get("b").as<const DeleteOperation>(), nullptr);
  EXPECT_EQ(decoder->decodeFieldChange(parse(R"({"__op":"Batch","ops":[]})")), nullptr);
  auto set = std::dynamic_pointer_cast<const SetOperation>(decoder->decodeFieldChange(parse(R"([1,2])")));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->value(), Value(Array{Value(1), Value(2)}));
}

TEST_F(CodingTest, MalformedDataIsKeptRawWithAWarningAndNeverThrows) {
  const char* cases[] = {
      R"({"__op":"Frobnicate"})",
      R"({"__op":7})",
      R"({"__op":"Increment","amount":"1"})",
      R"({"__op":"Increment","amount":true})",
      R"({"__op":"Increment"})",
      R"({"__op":"Add","objects":5})",
      R"({"__op":"Remove"})",
      R"({"__op":"AddRelation","objects":[1]})",
      R"({"__op":"AddRelation","objects":[{"__type":"Pointer","className":"A","objectId":"1"},{"__type":"Pointer","className":"B","objectId":"2"}]})",
      R"({"__op":"Batch","ops":5})",
      R"({"__op":"Batch","ops":[3]})",
      R"({"__op":"Batch","ops":[{"__op":"Add","objects":[1]},{"__op":"AddUnique","objects":[2]}]})",
      R"({"__op":"Add","objects":[{"__op":"Delete"}]})",
      R"({"__type":"Pointer","className":"Video"})",
      R"({"__type":"Pointer","objectId":"v1"})",
      R"({"__type":"Pointer","className":5,"objectId":"v1"})",
      R"({"__type":"Pointer","className":"Video","objectId":7})",
      R"({"__type":"Pointer","className":"Video","objectId":""})",
      R"({"__type":"Pointer","className":"Video","localId":false})",
      R"({"__type":"Pointer","className":"_Secret","objectId":"v1"})",
      R"({"__type":"Bytes","base64":"a"})",
      R"({"__type":"Bytes","base64":"ab=c"})",
      R"({"__type":"Bytes","base64":12})",
      R"({"__type":"Bytes"})",
      R"({"__type":"Date","iso":5})",
      R"({"__type":"Date","iso":null})",
      R"({"__type":"Date"})",
      R"({"__type":"Date","iso":"1225772.0"})",  // a Julian day number in 1357 BC
      R"({"__type":"GeoPoint","latitude":"1","longitude":2})",
      R"({"__type":"GeoPoint","latitude":true,"longitude":2})",
      R"({"__type":"GeoPoint","latitude":1})",
      R"({"__type":"File","name":5})",
      R"({"__type":"File","url":[]})",
      R"({"__type":"Relation","className":"A","objects":5})",
      R"({"__type":"Relation","className":3,"objects":[]})",
      R"({"__type":"Relation","className":"A","objects":[1]})",
      R"({"__type":"Object"})",
      R"({"__type":"Object","className":"_Secret"})",
  };
  for (const char* json : cases) {
    Value raw = parse(json);
    CapturedLog log;
    Value decoded;
    ASSERT_NO_THROW(decoded = Decoder::objectDecoder()->decodeObject(raw)) << json;
    EXPECT_EQ(decoded, raw) << json << " -> " << decoded.description();
    ASSERT_EQ(log.lines.size(), 1u) << json;
    EXPECT_EQ(log.lines[0].rfind("[Warning]: Keeping an undecodable", 0), 0u) << log.lines[0];
    // The same inside a dictionary: the entry stays raw, the rest decodes.
    Value wrapped(Dictionary{{"bad", raw}, {"good", parse(R"({"__type":"Date","iso":"2015-06-01T08:30:00Z"})")}});
    Value decodedWrapped;
    ASSERT_NO_THROW(decodedWrapped = Decoder::objectDecoder()->decodeObject(wrapped)) << json;
    EXPECT_EQ(decodedWrapped.get("bad"), raw) << json;
    EXPECT_TRUE(decodedWrapped.get("good").isDate());
    // And as a pending change: dropped rather than thrown or sent on.
    ASSERT_NO_THROW(Decoder::objectDecoder()->decodeFieldChange(raw)) << json;
  }
}

TEST_F(CodingTest, ApplicationDictionariesMayNotPoseAsSpecialValues) {
  Value sneaky(Dictionary{{"profile", Value(Dictionary{{"__type", Value("Pointer")}, {"className", Value("_User")},
                                                       {"objectId", Value("admin")}})}});
  EXPECT_EQ(reasonOf([&] { SetOperation::setWithValue(sneaky); }),
            "InvalidArgumentException: Dictionary values may not use the reserved key \"__type\".");
  EXPECT_EQ(reasonOf([&] {
              AddUniqueOperation::addUniqueWithObjects(Array{Value(Array{Value(Dictionary{{"__op", Value("Delete")}})})});
            }),
            "InvalidArgumentException: Dictionary values may not use the reserved key \"__op\".");
  EXPECT_EQ(reasonOf([&] { AddOperation::addWithObjects(Array{Value(Dictionary{{"x", Value(Dictionary{{"__op", Value(1)}})}})}); }),
            "InvalidArgumentException: Dictionary values may not use the reserved key \"__op\".");
  EXPECT_EQ(reasonOf([&] { RemoveOperation::removeWithObjects(Array{sneaky}); }),
            "InvalidArgumentException: Dictionary values may not use the reserved key \"__type\".");
  // Real special values are references, dates and bytes, never plain dictionaries: these pass.
  EXPECT_NO_THROW(SetOperation::setWithValue(Value(Dictionary{
      {"point", Value(GeoPoint::geoPoint())}, {"when", Value(dateFromMillis(0))}, {"type", Value("__type")}})));
}

// An offline store whose uuid tasks the test completes by hand.
class ScriptedOfflineStore : public OfflineObjectStore {
 public:
  Task<std::string> getOrCreateUUIDAsyncForObject(const BackendObjectPtr& object,
                                                  const std::shared_ptr<OfflineDatabase>& database) override {
    asked.push_back(object);
    databases.push_back(database);
    sources.emplace_back();
    return sources.back().task();
  }
  std::vector<BackendObjectPtr> asked;
  std::vector<std::shared_ptr<OfflineDatabase>> databases;
  std::vector<TaskCompletionSource<std::string>> sources;
};

TEST_F(CodingTest, OfflineEncoderFillsInUUIDsOnceTheStoreHasThem) {
  auto store = std::make_shared<ScriptedOfflineStore>();
  auto database = std::make_shared<OfflineDatabase>();
  auto encoder = OfflineObjectEncoder::objectEncoderWithOfflineStore(store, database);
  auto a = TestObject::unsaved("Video");
  auto b = TestObject::unsaved("Video");
  Value encoded = encoder->encodeObject(Value(Dictionary{
      {"a", Value(a)}, {"list", Value(Array{Value(b)})}, {"saved", Value(TestObject::saved("Video", "v1"))}}));
  ASSERT_EQ(store->asked.size(), 2u);
  EXPECT_EQ(store->asked[0], a);
  EXPECT_EQ(store->databases[0], database);
  EXPECT_EQ(encoded.get("a").get("__type"), Value("OfflineObject"));
  EXPECT_EQ(encoded.get("saved").get("objectId"), Value("v1"));
  // Until the uuids are known the output cannot be written out.
  EXPECT_THROW(JSONSerialization::stringFromJSONObject(encoded), InvalidArgumentException);

  Task<void> finished = encoder->encodeFinished();
  store->sources[1].setResult("uuid-b");
  EXPECT_FALSE(finished.isCompleted());
  store->sources[0].setResult("uuid-a");
  finished.waitForResult();
  EXPECT_FALSE(finished.isFaulted());
  Value resolved = encoder->resolvedValue(encoded);
  EXPECT_EQ(resolved.get("a").get("uuid"), Value("uuid-a"));
  EXPECT_EQ(resolved.get("list").arrayValue()[0].get("uuid"), Value("uuid-b"));

  // An offline decoder turns the references back into the objects.
  auto decoder = Decoder::decoderWithOfflineObjects({{"uuid-a", Task<BackendObjectPtr>::taskWithResult(a)},
                                                     {"uuid-b", Task<BackendObjectPtr>::taskWithResult(b)}});
  Value back = decoder->decodeObject(parse(text(resolved)));
  EXPECT_EQ(back.get("a").as<TestObject>(), a);
  EXPECT_EQ(back.get("list").arrayValue()[0].as<TestObject>(), b);
  EXPECT_NE(back.get("saved").as<TestObject>(), nullptr);
  EXPECT_TRUE(decoder->decodeObject(parse(R"({"__type":"OfflineObject","uuid":"unknown"})")).isNull());
}

TEST_F(CodingTest, OfflineEncoderReportsTheFirstFailureInAskingOrder) {
  auto store = std::make_shared<ScriptedOfflineStore>();
  auto encoder = OfflineObjectEncoder::objectEncoderWithOfflineStore(store, nullptr);
  encoder->encodeObject(Value(Array{Value(TestObject::unsaved("A")), Value(TestObject::unsaved("A")),
                                    Value(TestObject::unsaved("A"))}));
  Task<void> finished = encoder->encodeFinished();
  store->sources[2].setError(Error::keel(1, "third"));
  store->sources[0].setResult("ok");
  store->sources[1].cancel();
  finished.waitForResult();
  EXPECT_TRUE(finished.isCancelled()) << "the second (cancelled) comes before the third (failed)";
  // The failures stay in the list, so a later wait reports them again.
  Task<void> again = encoder->encodeFinished();
  again.waitForResult();
  EXPECT_TRUE(again.isCancelled());
}

}  // namespace
}  // namespace keel
