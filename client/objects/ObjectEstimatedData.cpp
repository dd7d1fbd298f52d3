#include <keel/objects/ObjectEstimatedData.h>

#include <keel/base/Exception.h>

namespace keel {

ObjectEstimatedData ObjectEstimatedData::estimatedDataFromServerData(const Dictionary& serverData,
                                                                     const std::vector<OperationSet>& operationSetQueue) {
  ObjectEstimatedData estimate(serverData);
  for (const auto& set : operationSetQueue) {
    set.forEach([&estimate](const std::string& key, const FieldOperationPtr& operation) {
      try {
        applyFieldOperationToDictionary(estimate.data_, *operation, key);
      } catch (const Exception&) {
        // The server changed the field's kind under this change; show what it holds.
      }
    });
  }
  return estimate;
}

std::optional<Value> ObjectEstimatedData::objectForKey(std::string_view key) const {
  if (const Value* v = data_.find(key)) return *v;
  return std::nullopt;
}

void ObjectEstimatedData::applyFieldOperation(const FieldOperation& operation, const std::string& key) {
  applyFieldOperationToDictionary(data_, operation, key);
}

void ObjectEstimatedData::setValue(const std::string& key, std::optional<Value> value) {
  if (value) {
    data_.set(key, std::move(*value));
  } else {
    data_.remove(key);
  }
}

}  // namespace keel
