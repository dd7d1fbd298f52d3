#include <keel/objects/ObjectSubclassingController.h>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Object.h>

namespace keel {
namespace {

class Video : public Object {
 public:
  static std::string backendClassName() { return "Video"; }
  using Object::Object;
  int mins() { return get<int>("Mins"); }
  void setMins(int mins) { set("Mins", mins); }
  bool favorite() { return get<bool>("Favorite"); }
  void setFavorite(bool favorite) { set("Favorite", favorite); }
  std::optional<std::string> title() { return get<std::optional<std::string>>("Title"); }
  void setTitle(std::optional<std::string> title) { set("Title", std::move(title)); }
  std::shared_ptr<Relation> viewers() { return get<std::shared_ptr<Relation>>("viewers"); }

 protected:
  void setDefaultValues() override { set("Type", std::string("Relax")); }
};

class LongVideo : public Video {
 public:
  using Video::Video;
};

class OtherVideo : public Object {
 public:
  static std::string backendClassName() { return "Video"; }
  using Object::Object;
};

class RenamedVideo : public Video {
 public:
  static std::string backendClassName() { return "Clip"; }
  using Video::Video;
};

class Noisy : public Object {
 public:
  static std::string backendClassName() { return "Noisy"; }
  explicit Noisy(const ObjectInit& init) : Object(init) { setObject(Value(1), "set in the constructor"); }
};

class Builtin : public Object {
 public:
  static std::string backendClassName() { return "_Builtin"; }
  static void validateClassName(const std::string& name) {
    if (name != "_Builtin") throw InvalidArgumentException("Cannot initialize a Builtin with a custom class name.");
  }
  using Object::Object;
};

class ObjectSubclassTest : public ::testing::Test {
 protected:
  ObjectSubclassingController& controller = ObjectSubclassingController::defaultController();
  void TearDown() override {
    for (const char* name : {"Video", "Clip", "Noisy", "_Builtin"}) controller.unregisterSubclass(name);
  }
};

TEST_F(ObjectSubclassTest, RegisteredClassesAreBuiltWhereverTheirClassNameIsMade) {
  controller.registerSubclass<Video>();
  EXPECT_TRUE(std::dynamic_pointer_cast<Video>(Object::objectWithClassName("Video")));
  auto decoded = Decoder::objectDecoder()->decodeObject(
      JSONSerialization::JSONObjectFromString(R"({"__type":"Pointer","className":"Video","objectId":"v"})").value());
  EXPECT_TRUE(decoded.as<Video>());
  auto fromQuery = Object::_objectFromDictionary(Dictionary{{"objectId", Value("v")}}, "Video", true);
  EXPECT_TRUE(std::dynamic_pointer_cast<Video>(fromQuery));
  EXPECT_FALSE(std::dynamic_pointer_cast<Video>(Object::objectWithClassName("Song")));
  EXPECT_EQ(controller.subclassForClassName("Video")->typeName, "keel::(anonymous namespace)::Video");
}

TEST_F(ObjectSubclassTest, TheMoreDerivedClassWinsAndUnrelatedClassesAreRefused) {
  controller.registerSubclass<Video>();
  controller.registerSubclass<LongVideo>();
  EXPECT_TRUE(std::dynamic_pointer_cast<LongVideo>(Object::object<Video>()));
  controller.registerSubclass<Video>();  // a base of the registered class changes nothing
  EXPECT_TRUE(std::dynamic_pointer_cast<LongVideo>(Object::objectWithClassName("Video")));
  try {
    controller.registerSubclass<OtherVideo>();
    FAIL() << "registered two unrelated classes for one name";
  } catch (const InvalidArgumentException& e) {
    EXPECT_EQ(e.reason(),
              "Tried to register both keel::(anonymous namespace)::LongVideo and keel::(anonymous namespace)::OtherVideo "
              "as the native Object subclass of Video. Cannot determine the right class to use because neither "
              "inherits from the other.");
  }
}

TEST_F(ObjectSubclassTest, ASubclassOfASubclassMayNotRenameItsClass) {
  controller.registerSubclass<Video>();
  try {
    controller.registerSubclass<RenamedVideo>();
    FAIL() << "a subclass of a subclass declared its own class name";
  } catch (const InvalidArgumentException& e) {
    EXPECT_EQ(e.reason(),
              "Subclasses of subclasses may not have separate +className definitions. "
              "keel::(anonymous namespace)::RenamedVideo should inherit +className from keel::(anonymous namespace)::Video.");
  }
}

TEST_F(ObjectSubclassTest, UnregisteredClassesAndConstructorsThatSetValuesAreRefused) {
  EXPECT_THROW(Object::object<Video>(), InternalInconsistencyException);
  controller.registerSubclass<Noisy>();
  try {
    Object::objectWithoutDataWithClassNameObjectId("Noisy", "n");
    FAIL() << "a shell kept a value its constructor set";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(),
              "The init method of keel::(anonymous namespace)::Noisy set values on the object, which is not allowed.");
  }
  EXPECT_NO_THROW(Object::objectWithClassName("Noisy"));  // a new object may have defaults
}

TEST_F(ObjectSubclassTest, ABuiltinClassReplacesTheUnderscoreRule) {
  controller.registerSubclass<Builtin>();
  EXPECT_TRUE(std::dynamic_pointer_cast<Builtin>(Object::objectWithClassName("_Builtin")));
  EXPECT_THROW(Object::objectWithClassName("_Other"), InvalidArgumentException);
}

TEST_F(ObjectSubclassTest, TypedFieldsReadZeroForNoValueAndWriteBooleansAsBooleans) {
  controller.registerSubclass<Video>();
  auto video = Object::object<Video>();
  EXPECT_EQ(video->objectForKey("Type"), Value("Relax"));
  EXPECT_EQ(video->mins(), 0);
  video->setObject(Value(), "Mins");
  EXPECT_EQ(video->mins(), 0);
  video->setMins(10);
  EXPECT_EQ(video->mins(), 10);
  video->setFavorite(true);
  EXPECT_TRUE(video->objectForKey("Favorite")->isBool());
  EXPECT_TRUE(video->favorite());
  video->setTitle("Calm");
  EXPECT_EQ(video->title(), "Calm");
  video->setTitle(std::nullopt);
  EXPECT_EQ(video->objectForKey("Title"), std::nullopt);
  auto viewers = video->viewers();
  ASSERT_TRUE(viewers);
  EXPECT_EQ(viewers->parent(), video);
  EXPECT_EQ(viewers->key(), "viewers");

  auto shell = Object::objectWithoutDataWithObjectId<Video>("v9");
  EXPECT_EQ(shell->objectId(), "v9");
  EXPECT_THROW(shell->mins(), InternalInconsistencyException);
}

}  // namespace
}  // namespace keel
