#include "app/Exercise.h"

namespace stillnook {

std::shared_ptr<Exercise> Exercise::addExercise(const std::string& objectId, std::int64_t minutes,
                                                const std::string& type, const std::string& title,
                                                const std::string& youtubeURL,
                                                const std::string& thumbnailImageURL,
                                                const std::string& videoURL, ManagedObjectContext& context) {
  auto exercise = std::static_pointer_cast<Exercise>(context.insertNewObjectForEntityForName(kEntityName));
  exercise->setObjectId(objectId);
  exercise->setMinutes(minutes);
  exercise->setType(type);
  exercise->setTitle(title);
  exercise->setYoutubeURL(youtubeURL);
  exercise->setThumbnailImageURL(thumbnailImageURL);
  exercise->setVideoURL(videoURL);
  return exercise;
}

}  // namespace stillnook
