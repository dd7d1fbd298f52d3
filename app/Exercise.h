// Exercise: one catalogue entry, copied from the backend at every launch. Records live in the
// shared record context (see AppDelegate); the accessors read and change the record there.
//
// Thread-safety: main thread only, like the context.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/RecordStore.h"

namespace stillnook {

class Exercise : public ManagedObject {
 public:
  static constexpr const char* kEntityName = "Exercise";

  explicit Exercise(const EntityDescription* entity) : ManagedObject(entity) {}

  // Inserts a new Exercise into `context` with all seven attributes set. Does not save.
  static std::shared_ptr<Exercise> addExercise(const std::string& objectId, std::int64_t minutes,
                                               const std::string& type, const std::string& title,
                                               const std::string& youtubeURL,
                                               const std::string& thumbnailImageURL,
                                               const std::string& videoURL, ManagedObjectContext& context);

  std::int64_t minutes() const { return integerAt(0); }
  void setMinutes(std::int64_t v) { setAt(0, keel::Value(v)); }
  std::string thumbnailImageURL() const { return stringAt(1); }
  void setThumbnailImageURL(const std::string& v) { setAt(1, keel::Value(v)); }
  std::string title() const { return stringAt(2); }
  void setTitle(const std::string& v) { setAt(2, keel::Value(v)); }
  std::string type() const { return stringAt(3); }
  void setType(const std::string& v) { setAt(3, keel::Value(v)); }
  std::string videoURL() const { return stringAt(4); }
  void setVideoURL(const std::string& v) { setAt(4, keel::Value(v)); }
  std::string objectId() const { return stringAt(5); }
  void setObjectId(const std::string& v) { setAt(5, keel::Value(v)); }
  std::string youtubeURL() const { return stringAt(6); }
  void setYoutubeURL(const std::string& v) { setAt(6, keel::Value(v)); }
};

using ExercisePtr = std::shared_ptr<Exercise>;

}  // namespace stillnook
