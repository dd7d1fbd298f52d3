#include "app/RecordStore.h"

#include <sys/wait.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "app/CatalogData.h"
#include "app/Exercise.h"
#include "app/Model.h"
#include "app/Progress.h"
#include <keel/base/Exception.h>
#include <keel/base/Sqlite.h>

namespace stillnook {
namespace {

using keel::Value;

int rowsInFile(const std::string& path, const std::string& sql) {
  platform::Database db(path, platform::Database::Mode::ReadOnly);
  auto statement = db.prepare(sql);
  return statement.step() ? statement.getInt(0) : -1;
}

class RecordStoreTest : public testing::SandboxTest {
 protected:
  std::shared_ptr<ManagedObjectContext> context() { return delegate->managedObjectContext(); }

  std::vector<std::string> idsOf(const std::string& type, int minutes) {
    std::vector<std::string> ids;
    const auto found = CatalogData(context()).fetchExercises(type, minutes);
    for (auto& e : *found) ids.push_back(e->objectId());
    return ids;
  }

  void addThree() {
    Exercise::addExercise("a", 5, "Relax", "A", "h", "t", "v", *context());
    Exercise::addExercise("b", 5, "Relax", "B", "h", "t", "v", *context());
    Exercise::addExercise("c", 10, "Energize", "C", "h", "t", "v", *context());
  }
};

TEST_F(RecordStoreTest, FetchesSeePendingInsertsDeletesAndChangesBeforeTheFileDoes) {
  addThree();
  ASSERT_TRUE(context()->save());
  EXPECT_FALSE(context()->hasChanges());

  auto b = CatalogData(context()).fetchExercise("b");
  ASSERT_NE(b, nullptr);
  b->setMinutes(10);  // moves b out of the 5-minute list and into the 10-minute one...
  b->setType("Energize");
  context()->deleteObject(CatalogData(context()).fetchExercise("a"));
  Exercise::addExercise("d", 5, "Relax", "D", "h", "t", "v", *context());
  EXPECT_TRUE(context()->hasChanges());

  EXPECT_EQ(idsOf("Relax", 5), std::vector<std::string>{"d"});
  EXPECT_EQ(idsOf("Energize", 10), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(CatalogData(context()).fetchExercise("a"), nullptr);
  // ...while the file still holds the saved state.
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise WHERE type = 'Relax' AND minutes = 5"), 2);

  ASSERT_TRUE(context()->save());
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise"), 3);
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise WHERE objectId = 'b' AND minutes = 10"), 1);
  // The same record object is handed out again, with its saved values.
  EXPECT_EQ(CatalogData(context()).fetchExercise("b"), b);
}

TEST_F(RecordStoreTest, RecordsFetchedWithoutValuesReadThemOnFirstUse) {
  addThree();
  ASSERT_TRUE(context()->save());
  // A second context over the same store has seen none of the records.
  ManagedObjectContext other;
  other.setPersistentStoreCoordinator(context()->persistentStoreCoordinator());
  FetchRequest request(Exercise::kEntityName);
  request.includesPropertyValues = false;
  request.predicate = Predicate::predicateWithFormat("type = %@", {Value("Relax")});
  auto faults = other.executeFetchRequest(request);
  ASSERT_EQ(faults->size(), 2u);
  EXPECT_TRUE((*faults)[1]->isFault());
  EXPECT_EQ(static_cast<Exercise&>(*(*faults)[1]).title(), "B");
  EXPECT_FALSE((*faults)[1]->isFault());
  (*faults)[0]->setValueForKey(Value(30), "minutes");
  EXPECT_EQ((*faults)[0]->valueForKey("title"), Value("A"));  // a change keeps the other values
  ASSERT_TRUE(other.save());
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise WHERE objectId = 'a' AND minutes = 30 AND title = 'A'"), 1);
}

TEST_F(RecordStoreTest, DeletingAnUnsavedInsertLeavesNothingToSave) {
  auto e = Exercise::addExercise("x", 5, "Relax", "X", "h", "t", "v", *context());
  context()->deleteObject(e);
  EXPECT_FALSE(context()->hasChanges());
  EXPECT_TRUE(idsOf("Relax", 5).empty());
}

TEST_F(RecordStoreTest, AFailedSaveLeavesTheFileAsItWasAndKeepsTheChangesPending) {
  addThree();
  ASSERT_TRUE(context()->save());
  context()->deleteObject(CatalogData(context()).fetchExercise("a"));
  Exercise::addExercise("d", 5, "Relax", "D", "h", "t", "v", *context());

  {
    platform::Database other(storePath());
    other.exec("BEGIN IMMEDIATE");  // another writer holds the store
    keel::ErrorPtr error;
    EXPECT_FALSE(context()->save(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kRecordStoreErrorDomain);
    other.exec("ROLLBACK");
  }
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise"), 3);
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise WHERE objectId = 'd'"), 0);
  EXPECT_TRUE(context()->hasChanges());

  ASSERT_TRUE(context()->save());
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise WHERE objectId IN ('b', 'c', 'd')"), 3);
  EXPECT_EQ(rowsInFile(storePath(), "SELECT COUNT(*) FROM Exercise"), 3);
}

TEST_F(RecordStoreTest, SavedRecordsAreThereForAnotherProcess) {
  addThree();
  ASSERT_TRUE(context()->save());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh stack over the same file, as the next launch builds it.
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(loadModelResource("Model", "momd"));
    if (!coordinator->addSQLiteStore(storePath(), nullptr)) _exit(2);
    ManagedObjectContext fresh;
    fresh.setPersistentStoreCoordinator(coordinator);
    auto found = CatalogData(std::shared_ptr<ManagedObjectContext>(&fresh, [](auto*) {})).fetchExercises("Relax", 5);
    _exit(found && found->size() == 2 && (*found)[1]->title() == "B" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(RecordStoreTest, FiltersReadAndCompareLikeTheStore) {
  addThree();
  ASSERT_TRUE(context()->save());
  Exercise::addExercise("d", 15, "Relax", "D", "h", "t", "v", *context());  // pending
  FetchRequest request(Exercise::kEntityName);
  request.predicate = Predicate::predicateWithFormat("minutes = %@ || (type = %@ && objectId == %@)",
                                                     {Value(5), Value("Relax"), Value("d")});
  request.sortDescriptors = {{"title", false}};
  std::vector<std::string> titles;
  const auto found = context()->executeFetchRequest(request);
  for (auto& r : *found) titles.push_back(r->valueForKey("title").stringValue());
  EXPECT_EQ(titles, (std::vector<std::string>{"D", "B", "A"}));

  // A number never equals a text, in memory or in SQL.
  request.predicate = Predicate::predicateWithFormat("minutes = %@", {Value("5")});
  EXPECT_TRUE(context()->executeFetchRequest(request)->empty());
  request.predicate = Predicate::predicateWithFormat("type = %@", {Value(15)});
  EXPECT_TRUE(context()->executeFetchRequest(request)->empty());

  EXPECT_THROW(Predicate::predicateWithFormat("minutes = %@ &&", {Value(5)}), keel::InvalidArgumentException);
  EXPECT_THROW(Predicate::predicateWithFormat("minutes = %@", {}), keel::InvalidArgumentException);
  EXPECT_THROW(Predicate::predicateWithFormat("minutes = 5", {}), keel::InvalidArgumentException);
  EXPECT_THROW(Predicate::predicateWithFormat("(minutes = %@", {Value(5)}), keel::InvalidArgumentException);
  request.predicate = Predicate::predicateWithFormat("length = %@", {Value(5)});
  EXPECT_THROW(context()->executeFetchRequest(request), keel::InvalidArgumentException);
  EXPECT_THROW(context()->insertNewObjectForEntityForName("Video"), keel::InvalidArgumentException);
}

TEST_F(RecordStoreTest, GroupedSumsAreTheSameFromTheFileAndWithPendingChanges) {
  auto& ctx = *context();
  auto add = [&](int month, int day, int week, int minutes) {
    auto p = std::static_pointer_cast<Progress>(ctx.insertNewObjectForEntityForName(Progress::kEntityName));
    p->setYear(2026);
    p->setMonth(month);
    p->setDay(day);
    p->setWeekOfYear(week);
    p->setWeekday(1);
    p->setMinutes(minutes);
    return p;
  };
  add(3, 1, 10, 5);
  add(3, 2, 10, 10);
  add(5, 1, 18, 30);
  FetchRequest request(Progress::kEntityName);
  request.resultType = FetchResultType::Dictionary;
  request.propertiesToFetch = {"month"};
  request.propertiesToGroupBy = {"month"};
  request.expressions = {{"minutes", "@sum.minutes"}};
  request.sortDescriptors = {{"month"}};
  auto pending = ctx.executeDictionaryFetchRequest(request);
  ASSERT_TRUE(ctx.save());
  auto saved = ctx.executeDictionaryFetchRequest(request);
  ASSERT_TRUE(pending && saved);
  EXPECT_EQ(*pending, *saved);
  ASSERT_EQ(saved->size(), 2u);
  EXPECT_EQ((*saved)[0]["month"].int64Value(), 3);
  EXPECT_EQ((*saved)[0]["minutes"].numberKind(), Value(1).numberKind());  // a 32-bit integer
  EXPECT_EQ((*saved)[0]["minutes"].intValue(), 15);
  EXPECT_EQ((*saved)[1]["minutes"].intValue(), 30);
}

TEST_F(RecordStoreTest, AStoreMadeForAnotherModelIsRefused) {
  platform::createDirectories(platform::documentsDirectory());
  {
    platform::Database db(storePath());
    db.exec("CREATE TABLE Exercise (id INTEGER PRIMARY KEY, minutes TEXT)");
  }
  PersistentStoreCoordinator coordinator(loadModelResource("Model", "momd"));
  keel::ErrorPtr error;
  EXPECT_FALSE(coordinator.addSQLiteStore(storePath(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error->localizedDescription().find("minutes"), std::string::npos);
  EXPECT_EQ(loadModelResource("Model", "xcdatamodel"), nullptr);
}

}  // namespace
}  // namespace stillnook
