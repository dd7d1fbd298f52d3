#include "app/CatalogData.h"

namespace stillnook {

std::optional<std::vector<ExercisePtr>> CatalogData::fetchExercises(const std::string& type, int minutes) const {
  if (!managedObjectContext_) return std::nullopt;
  FetchRequest request(Exercise::kEntityName);
  request.predicate = Predicate::predicateWithFormat("type = %@ && minutes = %@", {keel::Value(type), keel::Value(minutes)});
  auto records = managedObjectContext_->executeFetchRequest(request);
  if (!records) return std::nullopt;
  std::vector<ExercisePtr> result;
  result.reserve(records->size());
  for (auto& r : *records) result.push_back(std::static_pointer_cast<Exercise>(r));
  return result;
}

ExercisePtr CatalogData::fetchExercise(const std::string& objectId) const {
  if (!managedObjectContext_) return nullptr;
  FetchRequest request(Exercise::kEntityName);
  request.predicate = Predicate::predicateWithFormat("objectId = %@", {keel::Value(objectId)});
  auto records = managedObjectContext_->executeFetchRequest(request);
  if (!records || records->empty()) return nullptr;
  return std::static_pointer_cast<Exercise>(records->front());
}

}  // namespace stillnook
