#include "app/Model.h"

#include "app/Exercise.h"
#include "app/Progress.h"

namespace stillnook {
namespace {

template <typename Record>
ManagedObjectPtr make(const EntityDescription* entity) {
  return std::make_shared<Record>(entity);
}

std::shared_ptr<const ManagedObjectModel> buildModel() {
  using A = AttributeType;
  EntityDescription exercise{
      Exercise::kEntityName,
      {{"minutes", A::Integer},
       {"thumbnailImageURL", A::String},
       {"title", A::String},
       {"type", A::String},
       {"videoURL", A::String},
       {"objectId", A::String},
       {"youtubeURL", A::String}},
      // The exercise screen asks by type and length, favourites and completion by objectId.
      {{"type", "minutes"}, {"objectId"}},
      make<Exercise>};
  EntityDescription progress{
      Progress::kEntityName,
      {{"minutes", A::Integer},
       {"month", A::Integer},
       {"day", A::Integer},
       {"year", A::Integer},
       {"weekOfYear", A::Integer},
       {"weekday", A::Integer}},
      // One record per day is found by its date; the charts select by year, then month or week.
      {{"year", "month", "day"}, {"year", "weekOfYear"}},
      make<Progress>};
  return std::make_shared<const ManagedObjectModel>(std::vector<EntityDescription>{exercise, progress});
}

}  // namespace

std::shared_ptr<const ManagedObjectModel> loadModelResource(const std::string& name, const std::string& extension) {
  if (name != "Model" || extension != "momd") return nullptr;
  static const std::shared_ptr<const ManagedObjectModel> model = buildModel();
  return model;
}

}  // namespace stillnook
