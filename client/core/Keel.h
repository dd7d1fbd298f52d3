// Keel: the client library's entry point for configuration. An application calls
// setApplicationId once at launch, before any other use of the library; data sharing with
// extensions and the local datastore are enabled before that call.
//
// Configuration does no network traffic: it makes the process-wide KeelManager, checks the
// application-id marker on disk, enables the network-activity indicator, starts reading the
// current objects from disk in the background and tells the registered modules (on the main
// queue). The first request is made by the first command that runs.
//
// Keel configures the process-wide manager. A program that needs another one beside it (a
// second server, a second data directory) makes a KeelManager of its own and configures it the
// same way; the two share nothing but the process's logger and notification centre.
//
// Thread-safety: every member may be called from any thread; configuration is meant for the
// main thread at launch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <keel/core/KeelManager.h>
#include <keel/core/KeelModuleCollection.h>

namespace keel {

class Keel {
 public:
  // Configures the library. Throws "'applicationId' should not be nil." / "'clientKey' should
  // not be nil." for empty values.
  static void setApplicationId(const std::string& applicationId, const std::string& clientKey);
  // Return the configured values. Throw when the library is not configured.
  static std::string getApplicationId();
  static std::string getClientKey();

  // Shares the library's data with the application's extensions through an application-group
  // container. Main application only; before configuration.
  static void enableDataSharingWithApplicationGroupIdentifier(const std::string& groupIdentifier);
  // The same, from an application extension, naming the containing application.
  static void enableDataSharingWithApplicationGroupIdentifierContainingApplication(
      const std::string& groupIdentifier, const std::string& bundleIdentifier);
  static std::optional<std::string> applicationGroupIdentifierForDataSharing();
  static std::optional<std::string> containingApplicationBundleIdentifierForDataSharing();

  // Asks the next configuration to load the local datastore. Before configuration only.
  static void enableLocalDatastore();
  // After configuration: whether the manager's offline store is loaded; before: the request.
  static bool isLocalDatastoreEnabled();

  static void setLogLevel(std::uint8_t level);
  static std::uint8_t logLevel();
  // Accepted and ignored.
  static void offlineMessagesEnabled(bool) {}
  static void errorMessagesEnabled(bool) {}

  // The server every request of the process-wide manager goes to: scheme, host and port
  // (kDefaultServerURLString until set). Takes effect at once, for a manager already
  // configured too.
  static void setServer(const std::string& server);
  static std::string serverURLString();

  // Returns the command runner of the process-wide manager. Throws when the library is not
  // configured. It sends REST commands with the configured identity, for what the library offers
  // no higher-level operation for yet; the catalogue request of the application is one until
  // queries arrive.
  static std::shared_ptr<CommandRunning> commandRunner();

  static void enableKeelModule(const std::shared_ptr<KeelModule>& module);
  static void disableKeelModule(const std::shared_ptr<KeelModule>& module);
  static bool isModuleEnabled(const std::shared_ptr<KeelModule>& module);

  // Internal: for the library's own tests, not for applications (which have the members
  // above). The current manager, or nullptr before configuration.
  static std::shared_ptr<KeelManager> _currentManager();
  static void _clearCurrentManager();
  static void _resetDataSharingIdentifiers();
};

}  // namespace keel
