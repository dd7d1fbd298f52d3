// CommandURLRequestConstructor: turns a RESTCommand into the HTTP request the runner sends:
// the URL "/1/" + the command's path on the server URL, the per-command headers (the command's
// own, then the installation id and the session token), and the method and JSON body. GET, HEAD
// and DELETE commands with parameters travel as POST with an extra "_method" entry, so that
// their parameters can ride in a body. The session-wide headers (application id, client key,
// versions) are not added here: the runner installs them once on its HTTP session.
//
// The server URL belongs to the constructor: the manager that makes the runner says where its
// requests go, so that two managers in one process can talk to two servers. It can be re-pointed
// while requests are being built (Keel::setServer after configuration); a request takes the URL
// as it is when the request is built.
//
// Thread-safety: every member may be called from any thread. The constructor holds its data
// source weakly (the manager owns the runner that owns this constructor).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <keel/network/RESTCommand.h>
#include <keel/platform/HTTPSession.h>

namespace keel {

// What the request constructor and the runner ask of their owner (the KeelManager).
class CommandRequestDataSource {
 public:
  virtual ~CommandRequestDataSource() = default;
  // Returns the installation identifier that every request carries.
  virtual std::string installationIdentifier() = 0;
  // Returns the local-id store that queued commands are resolved against, or nullptr.
  virtual std::shared_ptr<LocalIdLookup> objectLocalIdStore() { return nullptr; }
};

// The application's version facts that the session-wide headers carry.
struct BundleInfo {
  std::optional<std::string> buildVersion;    // "X-Keel-App-Build-Version"
  std::optional<std::string> displayVersion;  // "X-Keel-App-Display-Version"

  // Returns the running program's versions (platform::mainBundleInfo), empty ones left out.
  static BundleInfo mainBundle();
};

inline constexpr const char* kDefaultServerURLString = "https://api.stillnook.app";

class CommandURLRequestConstructor {
 public:
  // `serverURL`: scheme, host and port of the server (any path in it is replaced).
  CommandURLRequestConstructor(std::weak_ptr<CommandRequestDataSource> dataSource, std::string serverURL);
  static std::shared_ptr<CommandURLRequestConstructor> constructorWithDataSource(
      std::weak_ptr<CommandRequestDataSource> dataSource, std::string serverURL);

  // Returns the data source, or nullptr once it has gone.
  std::shared_ptr<CommandRequestDataSource> dataSource() const { return dataSource_.lock(); }

  // Returns the request for an ordinary JSON command. Throws as HTTPURLRequestConstructor does.
  platform::HTTPRequest dataURLRequestForCommand(const RESTCommand& command) const;
  // Returns the request for uploading the file at `contentSourceFilePath` (whose size becomes
  // Content-Length); the runner streams the file itself.
  platform::HTTPRequest fileUploadURLRequestForCommand(const RESTCommand& command,
                                                       const std::optional<std::string>& contentType,
                                                       const std::string& contentSourceFilePath) const;
  // Returns the headers every request of a session carries.
  static platform::HeaderList defaultURLRequestHeadersForApplicationId(const std::string& applicationId,
                                                                       const std::string& clientKey,
                                                                       const BundleInfo& bundle);
  // Returns the command's own headers, then "X-Keel-Installation-Id" and "X-Keel-Session-Token".
  platform::HeaderList URLRequestHeadersForCommand(const RESTCommand& command) const;

  // Returns the server URL requests are built for.
  std::string serverURLString() const;
  // Re-points the requests built from now on.
  void setServerURLString(std::string serverURL);

  // Returns the system's version text: the version, then " (<build>)" when the build is known.
  static std::string operatingSystemFullVersion();

 private:
  std::weak_ptr<CommandRequestDataSource> dataSource_;
  mutable std::mutex serverURLMutex_;
  std::string serverURL_;
};

}  // namespace keel
