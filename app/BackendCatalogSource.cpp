#include "app/BackendCatalogSource.h"

#include "app/AppDelegate.h"
#include <keel/core/Keel.h>
#include <keel/network/CommandResult.h>
#include <keel/network/CommandRunning.h>
#include <keel/network/RESTCommand.h>

namespace stillnook {
namespace {

class BackendCatalogSource : public CatalogSource {
 public:
  explicit BackendCatalogSource(std::string serverURL) : serverURL_(std::move(serverURL)) {}

  void configure() override {
    keel::Keel::setServer(serverURL_);
    keel::Keel::setApplicationId(kApplicationId, kClientKey);
    configured_ = true;
  }

  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) override {
    if (!configured_) configure();
    auto command = keel::RESTCommand::commandWithHTTPPath("classes/Video", "GET", keel::Dictionary{}, std::nullopt);
    auto task = keel::Keel::commandRunner()->runCommandAsync(command, keel::kCommandRunningOptionRetryIfFailed);
    keel::ErrorPtr failure;
    // The launch waits for the catalogue on purpose (the first screen needs it), so the wait
    // is not reported as an accidental block of the main thread.
    keel::CommandResultPtr result = task.waitForResult(&failure, false);
    if (!result) {
      if (error) *error = failure ? failure : keel::Error::keel(1, "The catalogue request was cancelled.");
      return std::nullopt;
    }
    const keel::Value& results = result->result().get("results");
    if (!results.isArray()) {
      if (error) *error = keel::Error::keel(1, "The server's answer has no \"results\" list.");
      return std::nullopt;
    }
    std::vector<CatalogEntry> entries;
    for (const auto& object : results.arrayValue()) {
      if (!object.isDictionary()) continue;
      CatalogEntry entry;
      entry.objectId = object.get("objectId").isString() ? object.get("objectId").stringValue() : std::string();
      entry.fields = object.dictionaryValue();
      entries.push_back(std::move(entry));
    }
    return entries;
  }

 private:
  std::string serverURL_;
  bool configured_ = false;
};

}  // namespace

std::unique_ptr<CatalogSource> makeBackendCatalogSource(const std::string& serverURL) {
  return std::make_unique<BackendCatalogSource>(serverURL);
}

}  // namespace stillnook
