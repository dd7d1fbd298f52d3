#include "app/BackendCatalogSource.h"

#include "app/AppDelegate.h"
#include "core/CommandResult.h"
#include "core/CommandURLRequestConstructor.h"
#include "core/Crypto.h"
#include "core/RESTCommand.h"
#include "core/URLSessionCommandRunner.h"

namespace stillnook {
namespace {

class Installation : public keel::CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return id_; }

 private:
  std::string id_ = keel::uuidV4Lowercase();
};

class BackendCatalogSource : public CatalogSource {
 public:
  explicit BackendCatalogSource(std::string serverURL) : serverURL_(std::move(serverURL)) {}

  void configure() override {
    keel::CommandURLRequestConstructor::setServer(serverURL_);
    runner_ = keel::URLSessionCommandRunner::commandRunnerWithDataSource(installation_, kApplicationId, kClientKey);
  }

  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) override {
    if (!runner_) configure();
    auto command = keel::RESTCommand::commandWithHTTPPath("classes/Video", "GET", keel::Dictionary{}, std::nullopt);
    auto task = runner_->runCommandAsync(command, keel::kCommandRunningOptionRetryIfFailed);
    keel::ErrorPtr failure;
    keel::CommandResultPtr result = task.waitForResult(&failure);
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
  std::shared_ptr<Installation> installation_ = std::make_shared<Installation>();
  std::shared_ptr<keel::URLSessionCommandRunner> runner_;
};

}  // namespace

std::unique_ptr<CatalogSource> makeBackendCatalogSource(const std::string& serverURL) {
  return std::make_unique<BackendCatalogSource>(serverURL);
}

}  // namespace stillnook
