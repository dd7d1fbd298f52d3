// A stand-in backend object and object factory for the value-coding and field-operation tests:
// the object records what the decoders give it, and the factory counts the shells it makes.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/Encoder.h>

#include <gtest/gtest.h>

namespace keel::testing {

// Reads JSON text that the test itself wrote.
inline Value parse(std::string_view text) {
  auto v = JSONSerialization::JSONObjectFromString(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v.value_or(Value());
}

// Compares values and shows both as JSON text when they differ.
inline ::testing::AssertionResult sameValue(const Value& actual, const Value& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  auto text = [](const Value& v) {
    return JSONSerialization::stringFromJSONObject(PointerOrLocalIdObjectEncoder::objectEncoder()->encodeObject(v));
  };
  return ::testing::AssertionFailure() << text(actual) << "\n  expected " << text(expected);
}

class TestObject : public BackendObject {
 public:
  TestObject(std::string className, std::optional<std::string> objectId,
             std::optional<std::string> localId = std::nullopt)
      : className_(std::move(className)), objectId_(std::move(objectId)), localId_(std::move(localId)) {}

  static std::shared_ptr<TestObject> saved(std::string className, std::string objectId) {
    return std::make_shared<TestObject>(std::move(className), std::move(objectId));
  }
  static std::shared_ptr<TestObject> unsaved(std::string className) {
    return std::make_shared<TestObject>(std::move(className), std::nullopt);
  }

  std::string className() const override { return className_; }
  std::optional<std::string> objectId() const override { return objectId_; }
  std::string getOrCreateLocalId() override {
    static std::atomic<int> next{1};
    if (!localId_) localId_ = "local_" + std::to_string(next++);
    return *localId_;
  }
  const std::optional<std::string>& localId() const { return localId_; }

  Dictionary fields;
  bool complete = false;

 private:
  std::string className_;
  std::optional<std::string> objectId_;
  std::optional<std::string> localId_;
};

class TestObjectFactory : public ObjectFactory {
 public:
  BackendObjectPtr objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                          const std::string& objectId) override {
    checkClassName(className);
    ++shells;
    return std::make_shared<TestObject>(className, objectId);
  }
  BackendObjectPtr objectWithoutDataWithClassNameLocalId(const std::string& className,
                                                         const std::string& localId) override {
    checkClassName(className);
    ++shells;
    return std::make_shared<TestObject>(className, std::nullopt, localId);
  }
  BackendObjectPtr objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                        bool completeData, const Decoder&) override {
    std::string className = dictionary["className"].isString() ? dictionary["className"].stringValue() : defaultClassName;
    checkClassName(className);
    std::optional<std::string> id;
    if (dictionary["objectId"].isString()) id = dictionary["objectId"].stringValue();
    auto object = std::make_shared<TestObject>(className, id);
    object->fields = dictionary;
    object->complete = completeData;
    return object;
  }

  std::atomic<int> shells{0};

 private:
  // As the object class does: names starting with "_" are reserved for the built-in classes.
  static void checkClassName(const std::string& className) {
    parameterAssert(className.empty() || className[0] != '_' || className == "_User",
                    "Invalid class name. Class names cannot start with an underscore.");
  }
};

// Installs a TestObjectFactory for the life of the guard.
class InstalledTestFactory {
 public:
  InstalledTestFactory() : factory(std::make_shared<TestObjectFactory>()) {
    previous_ = ObjectFactory::installFactory(factory);
  }
  ~InstalledTestFactory() { ObjectFactory::installFactory(previous_); }
  std::shared_ptr<TestObjectFactory> factory;

 private:
  std::shared_ptr<ObjectFactory> previous_;
};

// Collects the log lines written while it lives.
class CapturedLog {
 public:
  CapturedLog() {
    previous_ = Logger::sharedLogger().setSink([this](const std::string& line) { lines.push_back(line); });
  }
  ~CapturedLog() { Logger::sharedLogger().setSink(previous_); }
  std::vector<std::string> lines;

 private:
  Logger::Sink previous_;
};

}  // namespace keel::testing
