#include <keel/offline/ObjectFileCoder.h>

#include <mutex>
#include <unordered_map>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>

namespace keel {

namespace {

struct LogicRegistry {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const ObjectFileCodingLogic>> byClassName;
};

LogicRegistry& registry() {
  // Never destroyed: loads may still run while the process exits.
  static auto* shared = new LogicRegistry();
  return *shared;
}

}  // namespace

std::shared_ptr<const ObjectFileCodingLogic> ObjectFileCodingLogic::codingLogic() {
  static const auto logic = std::make_shared<const ObjectFileCodingLogic>();
  return logic;
}

std::shared_ptr<const ObjectFileCodingLogic> ObjectFileCodingLogic::codingLogicForClassName(
    const std::string& className) {
  auto& shared = registry();
  std::lock_guard lock(shared.mutex);
  if (auto it = shared.byClassName.find(className); it != shared.byClassName.end()) return it->second;
  return codingLogic();
}

void ObjectFileCodingLogic::registerCodingLogic(const std::string& className,
                                                std::shared_ptr<const ObjectFileCodingLogic> logic) {
  auto& shared = registry();
  std::lock_guard lock(shared.mutex);
  if (logic) {
    shared.byClassName[className] = std::move(logic);
  } else {
    shared.byClassName.erase(className);
  }
}

void ObjectFileCodingLogic::updateObject(Object& object, const ObjectFileContents& contents,
                                         const Decoder& decoder) const {
  auto state = object._state()->mutableCopy();
  if (contents.objectId) state->setObjectId(*contents.objectId);
  if (contents.createdAt) state->setCreatedAtFromString(*contents.createdAt);
  if (contents.updatedAt) state->setUpdatedAtFromString(*contents.updatedAt);
  object._setState(*state);
  object._mergeAfterFetchWithResult(contents.fields, decoder, true);
}

Bytes ObjectFileCoder::dataFromObject(const Object& object, const Encoder& encoder) {
  auto state = object._state();
  return JSONSerialization::dataFromJSONObject(ObjectFileLayout::documentWithClassName(
      state->className(), state->dictionaryRepresentationWithObjectEncoder(encoder)));
}

ObjectPtr ObjectFileCoder::objectFromData(const Bytes& data, const Decoder& decoder) {
  std::string failure;
  auto contents = ObjectFileLayout::contentsFromData(data, failure);
  parameterAssert(contents.has_value(), "The object file is damaged: %@", failure);
  return objectFromContents(*contents, decoder);
}

ObjectPtr ObjectFileCoder::objectFromContents(const ObjectFileContents& contents, const Decoder& decoder) {
  ObjectPtr object = Object::objectWithoutDataWithClassNameObjectId(contents.className, contents.objectId);
  ObjectFileCodingLogic::codingLogicForClassName(contents.className)->updateObject(*object, contents, decoder);
  return object;
}

}  // namespace keel
