#include <keel/objects/Object.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>

namespace keel {
namespace {

// Many threads reading, writing, saving and merging one object: run under ThreadSanitizer to
// catch unguarded state; in any build the counter checks that no increment was lost.
TEST(ObjectConcurrencyTest, ManyThreadsReadWriteSaveAndMergeOneObject) {
  auto object = Object::_objectFromDictionary(Dictionary{{"objectId", Value("v")}, {"Title", Value("t")}}, "Video", true);
  constexpr int kWriters = 3;
  constexpr int kIncrements = 1000;
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (writing) {
      (void)object->objectForKey("Plays");
      (void)object->isDirty();
      (void)object->allKeys();
      (void)object->description();
      (void)object->RESTDictionaryWithObjectEncoder(*PointerOrLocalIdObjectEncoder::objectEncoder());
    }
  });
  threads.emplace_back([&] {
    while (writing) {
      object->_mergeAfterFetchWithResult(Dictionary{{"objectId", Value("v")}, {"Title", Value("fetched")}},
                                         *Decoder::objectDecoder(), false);
    }
  });
  threads.emplace_back([&] {
    // Saves that fail fold their changes back; none may be lost.
    while (writing) {
      auto save = object->_startSave();
      (void)Object::_convertToDictionaryForSaving(save.operationSet(), *PointerObjectEncoder::objectEncoder());
      save.fail();
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < kIncrements; ++i) {
        object->incrementKey("Plays");
        object->setObject(Value(i), "Last");
      }
    });
  }
  for (auto& t : writers) t.join();
  writing = false;
  for (auto& t : threads) t.join();

  EXPECT_EQ(object->objectForKey("Plays"), Value(kWriters * kIncrements));
  EXPECT_EQ(object->_operationSetQueue().size(), 1u);
  EXPECT_EQ(object->unsavedChanges().objectForKey("Plays")->encodeWithObjectEncoder(*Encoder::objectEncoder()).get("amount"),
            Value(kWriters * kIncrements));
}

// Two objects that point at each other, asked whether they are dirty from two threads at once:
// holding one object's lock while taking the other's would deadlock here.
TEST(ObjectConcurrencyTest, IsDirtyOnObjectsThatPointAtEachOtherDoesNotDeadlockAcrossThreads) {
  auto a = Object::_objectFromDictionary(Dictionary{{"objectId", Value("a")}}, "Node", true);
  auto b = Object::_objectFromDictionary(Dictionary{{"objectId", Value("b")}}, "Node", true);
  a->_mergeFromServerWithResult(Dictionary{{"next", Value(b)}}, *Decoder::objectDecoder(), true);
  b->_mergeFromServerWithResult(Dictionary{{"next", Value(a)}}, *Decoder::objectDecoder(), true);
  std::thread left([&] {
    for (int i = 0; i < 2000; ++i) EXPECT_FALSE(a->isDirty());
  });
  std::thread right([&] {
    for (int i = 0; i < 2000; ++i) EXPECT_FALSE(b->isDirty());
  });
  left.join();
  right.join();
}

// AddUnique matches saved objects by class and id, so changing one object asks the objects in
// its array for their ids. With the ids behind each object's main lock, two objects holding
// each other in such arrays deadlocked when changed from two threads at once.
TEST(ObjectConcurrencyTest, AddingObjectsThatHoldEachOtherFromTwoThreadsDoesNotDeadlock) {
  auto a = Object::_objectFromDictionary(Dictionary{{"objectId", Value("a")}}, "Node", true);
  auto b = Object::_objectFromDictionary(Dictionary{{"objectId", Value("b")}}, "Node", true);
  a->setObject(Value(Array{Value(b)}), "peers");
  b->setObject(Value(Array{Value(a)}), "peers");
  std::thread left([&] {
    for (int i = 0; i < 2000; ++i) a->addUniqueObject(Value(b), "peers");
  });
  std::thread right([&] {
    for (int i = 0; i < 2000; ++i) b->addUniqueObject(Value(a), "peers");
  });
  left.join();
  right.join();
  EXPECT_EQ(a->objectForKey("peers"), Value(Array{Value(b)}));
}

}  // namespace
}  // namespace keel
