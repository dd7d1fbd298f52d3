// object_file_writer HOME KEY COUNT PAD: stores COUNT documents under KEY in the data directory
// under HOME, one after the other, each waited for. Document i is
// {"classname": "Writer", "data": {"objectId": "w<i>", "n": i, "pad": <PAD characters>}}, so a
// reader can tell a whole document from a torn one. COUNT 0 writes until killed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <keel/base/JSONSerialization.h>
#include <keel/core/KeelManager.h>
#include <keel/offline/ObjectFileLayout.h>
#include <keel/offline/ObjectFilePersistenceController.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s HOME KEY COUNT PAD\n", argv[0]);
    return 2;
  }
  keel::KeelManagerEnvironment environment;
  environment.homeDirectory = argv[1];
  auto manager = keel::KeelManager::initWithApplicationId("writer-app", "writer-key", environment);
  auto controller = keel::ObjectFilePersistenceController::controllerWithDataSource(manager);
  const std::string key = argv[2];
  const long count = std::atol(argv[3]);
  const std::string pad(static_cast<std::size_t>(std::atol(argv[4])), 'x');
  for (long i = 0; count == 0 || i < count; ++i) {
    keel::Dictionary data{{"objectId", "w" + std::to_string(i)}, {"n", i}, {"pad", pad}};
    auto document = keel::ObjectFileLayout::documentWithClassName("Writer", std::move(data));
    keel::ErrorPtr error;
    controller->persistDataAsync(keel::JSONSerialization::dataFromJSONObject(document), key).waitForResult(&error);
    if (error) {
      std::fprintf(stderr, "write %ld failed: %s\n", i, error->description().c_str());
      return 1;
    }
  }
  return 0;
}
