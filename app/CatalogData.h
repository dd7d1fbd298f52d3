// CatalogData: the two exercise look-ups of the screens, over the record context it is given.
// Screens make one from their environment when they need it; it holds nothing but the context.
//
// Thread-safety: main thread only, like the context.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Exercise.h"

namespace stillnook {

class CatalogData {
 public:
  // Looks up in `context`; without one every look-up yields none.
  explicit CatalogData(std::shared_ptr<ManagedObjectContext> context) : managedObjectContext_(std::move(context)) {}

  const std::shared_ptr<ManagedObjectContext>& managedObjectContext() const { return managedObjectContext_; }

  // Returns the exercises of `type` (exact, case-sensitive) and length `minutes`, in catalogue
  // order; nullopt without a context or when the fetch fails.
  std::optional<std::vector<ExercisePtr>> fetchExercises(const std::string& type, int minutes) const;
  // Returns the exercise with `objectId`, or nullptr.
  ExercisePtr fetchExercise(const std::string& objectId) const;

 private:
  std::shared_ptr<ManagedObjectContext> managedObjectContext_;
};

}  // namespace stillnook
