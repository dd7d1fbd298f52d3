// ObjectEstimatedData: the values an object's reads answer with — the server data with every
// pending operation set applied in queue order.
//
// Thread-safety: a plain value, only touched under the owning object's lock.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/OperationSet.h>

namespace keel {

class ObjectEstimatedData {
 public:
  ObjectEstimatedData() = default;
  explicit ObjectEstimatedData(Dictionary data) : data_(std::move(data)) {}

  // Returns the server data with the queued sets applied, oldest first. Never throws: when an
  // operation no longer applies (the server changed the field's kind under a pending change),
  // the value it met is shown and the operation stays queued, to be sent or reverted.
  static ObjectEstimatedData estimatedDataFromServerData(const Dictionary& serverData,
                                                         const std::vector<OperationSet>& operationSetQueue);

  // Returns the value for `key`, or none.
  std::optional<Value> objectForKey(std::string_view key) const;
  const Value* find(std::string_view key) const { return data_.find(key); }
  std::vector<std::string> allKeys() const { return data_.keys(); }
  // Returns a copy of the values.
  Dictionary dictionaryRepresentation() const { return data_; }
  const Dictionary& data() const { return data_; }

  // Applies `operation` to the value for `key`. Throws what the operation throws, leaving the
  // data as it was.
  void applyFieldOperation(const FieldOperation& operation, const std::string& key);
  // Stores a value computed elsewhere (none removes the key).
  void setValue(const std::string& key, std::optional<Value> value);

 private:
  Dictionary data_;
};

}  // namespace keel
