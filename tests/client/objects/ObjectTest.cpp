#include <keel/objects/Object.h>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/ACL.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/Relation.h>

namespace keel {
namespace {

Dictionary parse(std::string_view text) {
  return JSONSerialization::JSONObjectFromString(text).value_or(Value()).dictionaryValue();
}

std::string json(const Value& value) { return JSONSerialization::stringFromJSONObject(value); }

std::string pending(const Object& object) {
  return json(Value(Object::_convertToDictionaryForSaving(object.unsavedChanges(),
                                                          *PointerOrLocalIdObjectEncoder::objectEncoder())));
}

template <typename E, typename F>
std::string reasonOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.reason();
  }
  return "no exception";
}

const Decoder& decoder() { return *Decoder::objectDecoder(); }

TEST(ObjectStateTest, StatesCompareByTheirPropertiesAndCopyingFreezesOrThaws) {
  auto frozen = ObjectState::stateWithClassName("Video", std::string("v"), true);
  auto thawed = frozen->mutableCopy();
  EXPECT_TRUE(frozen->isEqual(*thawed));
  EXPECT_EQ(frozen->hash(), thawed->hash());
  thawed->setServerDataObject(Value(5), "Mins");
  thawed->setCreatedAtFromString("2015-06-01T08:30:00.125Z");
  EXPECT_FALSE(frozen->isEqual(*thawed));
  std::shared_ptr<const ObjectState> refrozen = thawed->copy();
  EXPECT_TRUE(refrozen->isEqual(*thawed));
  EXPECT_NE(refrozen->description().find("serverData = {Mins = 5};"), std::string::npos);
  EXPECT_EQ(json(Value(refrozen->dictionaryRepresentationWithObjectEncoder(*Encoder::objectEncoder()))),
            R"({"objectId":"v","createdAt":"2015-06-01T08:30:00.125Z","Mins":5})");
}

TEST(ObjectCreationTest, ValidatesClassNames) {
  EXPECT_EQ(reasonOf<InvalidArgumentException>([] { Object::objectWithClassName(""); }), "Class name can't be 'nil'.");
  EXPECT_EQ(reasonOf<InvalidArgumentException>([] { Object::objectWithClassName("_Secret"); }),
            "Invalid class name. Class names cannot start with an underscore.");
  EXPECT_EQ(reasonOf<InvalidArgumentException>([] { Object::objectWithoutDataWithClassNameObjectId("_X", "1"); }),
            "Invalid class name. Class names cannot start with an underscore.");
}

TEST(ObjectCreationTest, NewObjectsAreCompleteAndDirtyShellsAreNeither) {
  auto fresh = Object::objectWithClassName("Video", Dictionary{{"Mins", Value(5)}});
  EXPECT_TRUE(fresh->isDataAvailable());
  EXPECT_TRUE(fresh->isDirty());
  EXPECT_EQ(fresh->objectForKey("Mins"), Value(5));
  EXPECT_EQ(fresh->objectId(), std::nullopt);

  auto shell = Object::objectWithoutDataWithClassNameObjectId("Video", "v1");
  EXPECT_FALSE(shell->isDataAvailable());
  EXPECT_FALSE(shell->isDirty());
  EXPECT_EQ(shell->objectId(), "v1");
  EXPECT_NE(shell, Object::objectWithoutDataWithClassNameObjectId("Video", "v1"));

  auto local = Object::objectWithoutDataWithClassNameLocalId("Video", "local_7");
  EXPECT_EQ(local->getOrCreateLocalId(), "local_7");
  EXPECT_EQ(local->objectId(), std::nullopt);
}

TEST(ObjectReadingTest, ShellKeysWithoutDataRaiseTheExactMessage) {
  auto shell = Object::objectWithoutDataWithClassNameObjectId("Video", "v1");
  EXPECT_EQ(reasonOf<InternalInconsistencyException>([&] { shell->objectForKey("Title"); }),
            "Key \"Title\" has no data.  Call fetchIfNeeded before getting its value.");
}

// Found by fuzzing the persisted form: a field the server named "" was kept but could not be read.
TEST(ObjectReadingTest, AFieldWithAnEmptyNameFromTheServerIsReadable) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","":"yes"})"), "Video", true);
  EXPECT_EQ(object->objectForKey(""), Value("yes"));
  EXPECT_THROW(object->setObject(Value(1), ""), InvalidArgumentException);
}

TEST(ObjectReadingTest, SelectedKeysMakeOnlyThoseKeysReadable) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v1","Title":"Calm","Mins":5})"), "Video",
                                              std::vector<std::string>{"Title", "Mins"});
  EXPECT_EQ(object->objectForKey("Title"), Value("Calm"));
  EXPECT_TRUE(object->isDataAvailableForKey("Mins"));
  EXPECT_FALSE(object->isDataAvailable());
  EXPECT_EQ(reasonOf<InternalInconsistencyException>([&] { object->objectForKey("Type"); }),
            "Key \"Type\" has no data.  Call fetchIfNeeded before getting its value.");
}

TEST(ObjectReadingTest, ResultsTakeTheirOwnClassNameAndDefaultUpdatedAtToCreatedAt) {
  auto own = Object::_objectFromDictionary(parse(R"({"className":"Song","objectId":"s"})"), "Video", true);
  EXPECT_EQ(own->className(), "Song");
  EXPECT_FALSE(own->isDataAvailableForKey("className") && own->objectForKey("className"));
  auto defaulted = Object::_objectFromDictionary(
      parse(R"({"objectId":"v","createdAt":"2015-06-01T08:30:00.125Z"})"), "Video", true);
  EXPECT_EQ(defaulted->className(), "Video");
  ASSERT_TRUE(defaulted->createdAt());
  EXPECT_EQ(defaulted->updatedAt(), defaulted->createdAt());
  EXPECT_FALSE(defaulted->isDirty());
}

TEST(ObjectReadingTest, NestedIncludedObjectsOfAPartialReplyAreIncomplete) {
  const char* reply = R"({"objectId":"p","owner":{"__type":"Object","className":"User","objectId":"u","name":"Ann"}})";
  auto partial = Object::_objectFromDictionary(parse(reply), "Post", std::vector<std::string>{"owner.name", "owner"});
  auto owner = partial->objectForKey("owner")->as<Object>();
  ASSERT_TRUE(owner);
  EXPECT_FALSE(owner->isDataAvailable());
  EXPECT_EQ(owner->objectForKey("name"), Value("Ann"));
  EXPECT_THROW(owner->objectForKey("email"), InternalInconsistencyException);

  auto whole = Object::_objectFromDictionary(parse(reply), "Post", std::nullopt);
  EXPECT_TRUE(whole->objectForKey("owner")->as<Object>()->isDataAvailable());
}

TEST(ObjectWritingTest, RefusesMissingValuesAndValuesAFieldCannotHold) {
  auto object = Object::objectWithClassName("Video");
  EXPECT_EQ(reasonOf<InvalidArgumentException>([&] { object->setObject(std::nullopt, "Title"); }),
            "Can't use nil for keys or values on Object. Use NSNull for values.");
  EXPECT_EQ(reasonOf<InvalidArgumentException>([&] { object->setObject(Value(Relation::relationWithTargetClass("A")), "r"); }),
            "Object values may not have class: Relation");
  object->setObject(Value(), "Nothing");  // JSON null is a value
  EXPECT_EQ(object->objectForKey("Nothing"), Value());
}

TEST(ObjectWritingTest, ChangesOfOneFieldMergeIntoOneOperation) {
  auto object = Object::objectWithClassName("Video");
  object->setObject(Value("a"), "Title");
  object->setObject(Value("b"), "Title");
  object->incrementKey("Plays");
  object->incrementKey("Plays");
  EXPECT_EQ(pending(*object), R"({"Title":"b","Plays":{"__op":"Increment","amount":2}})");
  EXPECT_EQ(object->objectForKey("Plays"), Value(2));
  EXPECT_TRUE(object->isDirtyForKey("Plays"));
  EXPECT_FALSE(object->isDirtyForKey("Other"));
}

TEST(ObjectWritingTest, AnOperationThatCannotApplyOrMergeChangesNothing) {
  auto object = Object::objectWithClassName("Video");
  object->setObject(Value("text"), "Title");
  EXPECT_EQ(reasonOf<InternalInconsistencyException>([&] { object->incrementKey("Title"); }),
            "You cannot increment a non-number.");
  EXPECT_EQ(object->objectForKey("Title"), Value("text"));

  // Remove after AddUnique applies to the estimate but does not merge: neither may show.
  object->addUniqueObject(Value("x"), "Tags");
  EXPECT_EQ(reasonOf<InternalInconsistencyException>([&] { object->removeObject(Value("x"), "Tags"); }),
            "Operation is invalid after previous operation.");
  EXPECT_EQ(object->objectForKey("Tags"), Value(Array{Value("x")}));
  EXPECT_EQ(pending(*object), R"({"Title":"text","Tags":{"__op":"AddUnique","objects":["x"]}})");
}

TEST(ObjectWritingTest, RevertDropsUnsavedChangesOnly) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","Title":"Calm"})"), "Video", true);
  object->setObject(Value("Busy"), "Title");
  object->setObject(Value(3), "Mins");
  object->revertObjectForKey("Mins");
  EXPECT_EQ(object->objectForKey("Mins"), std::nullopt);
  EXPECT_EQ(object->objectForKey("Title"), Value("Busy"));
  object->revert();
  EXPECT_EQ(object->objectForKey("Title"), Value("Calm"));
  EXPECT_FALSE(object->isDirty());
}

TEST(ObjectMergeTest, ACompleteFetchDropsOldKeysButKeepsPendingChanges) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","Title":"Calm","Old":1,"Mins":5})"), "Video", true);
  object->setObject(Value("mine"), "Old");
  object->_mergeAfterFetchWithResult(parse(R"({"objectId":"v","Title":"New"})"), decoder(), true);
  EXPECT_EQ(object->_state()->serverData(), parse(R"({"Title":"New"})"));
  EXPECT_EQ(object->objectForKey("Mins"), std::nullopt);
  EXPECT_EQ(object->objectForKey("Old"), Value("mine"));
  EXPECT_TRUE(object->isDirtyForKey("Old"));
}

TEST(ObjectMergeTest, TheServerChangingAFieldsKindUnderAPendingChangeShowsTheServerValue) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","Plays":1})"), "Video", true);
  object->incrementKey("Plays");
  object->_mergeAfterFetchWithResult(parse(R"({"objectId":"v","Plays":"many"})"), decoder(), true);
  EXPECT_EQ(object->objectForKey("Plays"), Value("many"));
  EXPECT_EQ(pending(*object), R"({"Plays":{"__op":"Increment","amount":1}})");
}

TEST(ObjectSaveTest, ChangesDuringASaveLandInTheNextSetAndASuccessMergesTheReply) {
  auto object = Object::objectWithClassName("Video", Dictionary{{"Title", Value("Calm")}});
  auto save = object->_startSave();
  EXPECT_EQ(json(Value(Object::_convertToDictionaryForSaving(save.operationSet(), *PointerObjectEncoder::objectEncoder()))),
            R"({"Title":"Calm"})");
  object->incrementKey("Plays");
  EXPECT_TRUE(object->_hasOutstandingOperations());
  EXPECT_EQ(pending(*object), R"({"Plays":{"__op":"Increment","amount":1}})");

  save.finishWithResult(parse(R"({"objectId":"new1","createdAt":"2020-01-02T03:04:05.006Z"})"), decoder());
  EXPECT_FALSE(object->_hasOutstandingOperations());
  EXPECT_EQ(object->objectId(), "new1");
  EXPECT_EQ(object->_state()->serverData(), parse(R"({"Title":"Calm"})"));
  EXPECT_EQ(object->objectForKey("Plays"), Value(1));
  EXPECT_TRUE(object->isDirty());  // the increment is still to be sent
  EXPECT_FALSE(object->isDirty(false) && !object->_hasChanges());
}

TEST(ObjectSaveTest, AFailedSaveKeepsItsChangesUnderTheNewerOnes) {
  auto object = Object::objectWithClassName("Video");
  object->incrementKey("Plays", Value(2));
  object->setObject(Value("a"), "Title");
  auto save = object->_startSave();
  object->incrementKey("Plays", Value(3));
  save.fail();
  EXPECT_EQ(object->_operationSetQueue().size(), 1u);
  EXPECT_EQ(pending(*object), R"({"Plays":{"__op":"Increment","amount":5},"Title":"a"})");
  EXPECT_EQ(object->objectForKey("Plays"), Value(5));
}

TEST(ObjectSaveTest, FoldingAPairThatDoesNotMergeKeepsBothChangesAsASet) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","Tags":["x","y"]})"), "Video", true);
  object->removeObject(Value("x"), "Tags");
  auto save = object->_startSave();
  object->addUniqueObject(Value("z"), "Tags");  // AddUnique after Remove does not merge
  EXPECT_NO_THROW(save.fail());
  EXPECT_EQ(pending(*object), R"({"Tags":["y","z"]})");
  EXPECT_EQ(object->objectForKey("Tags"), Value(Array{Value("y"), Value("z")}));
}

TEST(ObjectSaveTest, ASaveDroppedWithoutAnOutcomeIsFoldedBack) {
  auto object = Object::objectWithClassName("Video", Dictionary{{"Title", Value("Calm")}});
  try {
    auto save = object->_startSave();
    object->setObject(Value(1), "Mins");
    Object::_convertToDictionaryForSaving(save.operationSet(), *NoObjectEncoder::objectEncoder());
    object->setObject(Value(Object::objectWithClassName("Child")), "child");
    Object::_convertToDictionaryForSaving(object->unsavedChanges(), *NoObjectEncoder::objectEncoder());
  } catch (const InternalInconsistencyException&) {
  }
  EXPECT_FALSE(object->_hasOutstandingOperations());
  EXPECT_EQ(object->unsavedChanges().keys(), (std::vector<std::string>{"Mins", "child", "Title"}));
}

TEST(ObjectDirtyTest, ObjectsThatPointAtEachOtherAreWalkedOnce) {
  auto a = Object::_objectFromDictionary(parse(R"({"objectId":"a"})"), "Node", true);
  auto b = Object::_objectFromDictionary(parse(R"({"objectId":"b"})"), "Node", true);
  auto c = Object::_objectFromDictionary(parse(R"({"objectId":"c"})"), "Node", true);
  a->_mergeFromServerWithResult(Dictionary{{"next", Value(b)}}, decoder(), true);
  b->_mergeFromServerWithResult(Dictionary{{"next", Value(a)}, {"list", Value(Array{Value(c)})}}, decoder(), true);
  EXPECT_FALSE(a->isDirty());
  c->setObject(Value(1), "n");
  EXPECT_TRUE(a->isDirty());
  EXPECT_FALSE(a->isDirty(false));
  EXPECT_NE(a->description().find("next = <Node: "), std::string::npos);
}

TEST(ObjectReferenceTest, AccessListsChangedInPlaceAreSetAgain) {
  auto object = Object::_objectFromDictionary(parse(R"({"objectId":"v","ACL":{"*":{"read":true}}})"), "Video", true);
  EXPECT_FALSE(object->isDirty());
  auto acl = object->ACL();
  ASSERT_TRUE(acl);
  EXPECT_FALSE(object->isDirtyForKey("ACL"));

  auto shared = ACL::ACLWithDictionary(parse(R"({"*":{"read":true}})"));
  shared->setShared(true);
  auto fresh = Object::objectWithClassName("Video");
  fresh->setACL(shared);
  auto own = fresh->ACL();
  EXPECT_NE(own, shared);
  EXPECT_FALSE(own->isShared());

  auto point = GeoPoint::geoPointWithLatitude(1, 2);
  auto placed = Object::_objectFromDictionary(parse(R"({"objectId":"p"})"), "Place", true);
  placed->_mergeFromServerWithResult(Dictionary{{"where", Value(Array{Value(point)})}}, decoder(), false);
  EXPECT_FALSE(placed->isDirty());
  point->setLatitude(3);
  EXPECT_TRUE(placed->isDirtyForKey("where"));
}

TEST(ObjectPersistedFormTest, RoundTripsAnObjectWithThreeQueuedSets) {
  auto object = Object::_objectFromDictionary(
      parse(R"({"objectId":"v","Title":"Calm","updatedAt":"2020-01-02T03:04:05.006Z"})"), "Video", true);
  object->incrementKey("Plays");
  auto first = object->_startSave();
  object->addObject(Value("x"), "Tags");
  auto second = object->_startSave();
  object->setObject(Value("Busy"), "Title");
  std::vector<std::string> uuids;
  Dictionary persisted = object->RESTDictionaryWithObjectEncoder(*PointerOrLocalIdObjectEncoder::objectEncoder(), &uuids);
  ASSERT_EQ(uuids.size(), 3u);
  EXPECT_EQ(persisted["className"], Value("Video"));
  EXPECT_EQ(persisted["__complete"], Value(true));

  // Through JSON text, as a file holds it.
  Dictionary reread = parse(json(Value(persisted)));
  auto restored = Object::objectWithoutDataWithClassNameObjectId("Video", "v");
  restored->mergeFromRESTDictionary(reread, decoder());
  auto queue = restored->_operationSetQueue();
  ASSERT_EQ(queue.size(), 3u);
  auto original = object->_operationSetQueue();
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(queue[i].uuid(), uuids[i]);
    EXPECT_EQ(json(Value(Object::_convertToDictionaryForSaving(queue[i], *PointerOrLocalIdObjectEncoder::objectEncoder()))),
              json(Value(Object::_convertToDictionaryForSaving(original[i], *PointerOrLocalIdObjectEncoder::objectEncoder()))));
  }
  EXPECT_TRUE(restored->isDataAvailable());
  EXPECT_EQ(restored->objectForKey("Title"), Value("Busy"));
  EXPECT_EQ(restored->objectForKey("Plays"), Value(1));
  EXPECT_EQ(restored->updatedAt(), object->updatedAt());

  // Merging the same form again does not count its changes twice.
  restored->mergeFromRESTDictionary(reread, decoder());
  EXPECT_EQ(restored->objectForKey("Plays"), Value(1));
  EXPECT_EQ(restored->_operationSetQueue().size(), 3u);
  first.fail();
  second.fail();
}

TEST(ObjectPersistedFormTest, PendingChangesReadBackIntoAShellAreReadable) {
  auto shell = Object::objectWithoutDataWithClassNameObjectId("Video", "v");
  shell->mergeFromRESTDictionary(parse(R"({"__operations":[{"Plays":{"__op":"Increment","amount":2},"__uuid":"u"}]})"),
                                 decoder());
  EXPECT_EQ(shell->objectForKey("Plays"), Value(2));
  EXPECT_EQ(shell->_operationSetQueue().size(), 1u);
  EXPECT_TRUE(shell->isDirtyForKey("Plays"));
}

TEST(ObjectPersistedFormTest, AnOlderFormDoesNotOverwriteNewerServerData) {
  auto object = Object::_objectFromDictionary(
      parse(R"({"objectId":"v","Title":"New","updatedAt":"2021-01-01T00:00:00.000Z"})"), "Video", true);
  object->mergeFromRESTDictionary(
      parse(R"({"objectId":"v","Title":"Old","updatedAt":"2020-01-01T00:00:00.000Z","__complete":true,"__operations":"bad"})"),
      decoder());
  EXPECT_EQ(object->objectForKey("Title"), Value("New"));
}

TEST(ObjectCodingTest, DecodedPointersAreRealObjects) {
  Value decoded = Decoder::objectDecoder()->decodeObject(
      JSONSerialization::JSONObjectFromString(R"({"__type":"Pointer","className":"Video","objectId":"v"})").value());
  auto object = decoded.as<Object>();
  ASSERT_TRUE(object);
  EXPECT_EQ(object->objectId(), "v");
  EXPECT_FALSE(object->isDataAvailable());
}

// Relations were always written with the pointer encoder, so an unsaved member failed even the
// encoders that write local ids (commands kept for later, the persisted form).
TEST(ObjectCodingTest, RelationsAreWrittenWithTheCallersEncoder) {
  auto relation = Relation::relationWithTargetClassKnownObjects("Video", {Object::objectWithClassName("Video")});
  Value encoded = PointerOrLocalIdObjectEncoder::objectEncoder()->encodeObject(Value(relation));
  EXPECT_TRUE(encoded.get("objects").arrayValue().at(0).contains("localId"));
  EXPECT_THROW(PointerObjectEncoder::objectEncoder()->encodeObject(Value(relation)), InternalInconsistencyException);
}

}  // namespace
}  // namespace keel
