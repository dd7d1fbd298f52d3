// The application's record model, defined once here: the entities "Exercise" and "Progress"
// with their attributes in declaration order, their record classes and the indexes the
// application's fetches use.
#pragma once

#include <memory>
#include <string>

#include "app/RecordStore.h"

namespace stillnook {

// Returns the compiled model resource `name`.`extension` of the application ("Model"."momd"),
// or nullptr when the application has no such resource.
std::shared_ptr<const ManagedObjectModel> loadModelResource(const std::string& name, const std::string& extension);

}  // namespace stillnook
