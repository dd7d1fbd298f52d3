#include <keel/network/CommandURLRequestConstructor.h>

#include <sys/stat.h>

#include <mutex>

#include <keel/base/ErrorUtilities.h>
#include <keel/base/Format.h>
#include <keel/network/HTTPURLRequestConstructor.h>
#include <keel/network/URLConstructor.h>
#include <keel/platform/DeviceInfo.h>

namespace keel {

BundleInfo BundleInfo::mainBundle() {
  platform::BundleInfo main = platform::mainBundleInfo();
  BundleInfo info;
  if (!main.version.empty()) info.buildVersion = main.version;
  if (!main.shortVersion.empty()) info.displayVersion = main.shortVersion;
  return info;
}

std::string CommandURLRequestConstructor::serverURLString() const {
  std::lock_guard lock(serverURLMutex_);
  return serverURL_;
}

void CommandURLRequestConstructor::setServerURLString(std::string serverURL) {
  std::lock_guard lock(serverURLMutex_);
  serverURL_ = std::move(serverURL);
}

std::string CommandURLRequestConstructor::operatingSystemFullVersion() {
  std::string version = platform::systemVersion();
  std::string build = platform::systemBuild();
  return build.empty() ? version : formatMessage("%@ (%@)", version, build);
}

CommandURLRequestConstructor::CommandURLRequestConstructor(std::weak_ptr<CommandRequestDataSource> dataSource,
                                                           std::string serverURL)
    : dataSource_(std::move(dataSource)), serverURL_(std::move(serverURL)) {}

std::shared_ptr<CommandURLRequestConstructor> CommandURLRequestConstructor::constructorWithDataSource(
    std::weak_ptr<CommandRequestDataSource> dataSource, std::string serverURL) {
  return std::make_shared<CommandURLRequestConstructor>(std::move(dataSource), std::move(serverURL));
}

platform::HeaderList CommandURLRequestConstructor::URLRequestHeadersForCommand(const RESTCommand& command) const {
  platform::HeaderList headers;
  if (auto extra = command.additionalRequestHeaders()) {
    for (const auto& [name, value] : *extra) platform::setHeader(headers, name, value.description());
  }
  if (auto source = dataSource()) platform::setHeader(headers, "X-Keel-Installation-Id", source->installationIdentifier());
  if (auto token = command.sessionToken()) platform::setHeader(headers, "X-Keel-Session-Token", *token);
  return headers;
}

platform::HTTPRequest CommandURLRequestConstructor::dataURLRequestForCommand(const RESTCommand& command) const {
  std::string url = URLConstructor::URLFromAbsoluteString(serverURLString(), formatMessage("/1/%@", command.httpPath()),
                                                          std::nullopt);
  std::string method = command.httpMethod();
  Value parameters = command.parametersValue();
  if (!parameters.isNull() && (method == "GET" || method == "HEAD" || method == "DELETE")) {
    parameters.mutableDictionary().set("_method", Value(method));
    method = "POST";
  }
  if (!parameters.isNull()) parameters = CommandParameterEncoding::encodeWithPointerEncoder(parameters);
  return HTTPURLRequestConstructor::urlRequestWithURLParametersValue(std::move(url), std::move(method),
                                                                     URLRequestHeadersForCommand(command), parameters);
}

platform::HTTPRequest CommandURLRequestConstructor::fileUploadURLRequestForCommand(
    const RESTCommand& command, const std::optional<std::string>& contentType,
    const std::string& contentSourceFilePath) const {
  platform::HTTPRequest request = dataURLRequestForCommand(command);
  if (contentType) platform::setHeader(request.headers, "Content-Type", *contentType);
  struct stat st {};
  long long size = ::stat(contentSourceFilePath.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  platform::setHeader(request.headers, "Content-Length", std::to_string(size));
  return request;
}

platform::HeaderList CommandURLRequestConstructor::defaultURLRequestHeadersForApplicationId(
    const std::string& applicationId, const std::string& clientKey, const BundleInfo& bundle) {
  platform::HeaderList headers{
      {"X-Keel-Application-Id", applicationId},
      {"X-Keel-Client-Key", clientKey},
      {"X-Keel-Client-Version", formatMessage("i%@", kKeelLibraryVersion)},
      {"X-Keel-OS-Version", operatingSystemFullVersion()},
  };
  if (bundle.buildVersion) headers.emplace_back("X-Keel-App-Build-Version", *bundle.buildVersion);
  if (bundle.displayVersion) headers.emplace_back("X-Keel-App-Display-Version", *bundle.displayVersion);
  return headers;
}

}  // namespace keel
