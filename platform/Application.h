// Application: the running application as the program sees it: the delegate that receives the
// lifecycle callbacks, the icon badge number and the application state. The program sets the
// delegate once at start-up (before launching) and the delegate lives as long as the process;
// anything can then ask for it, as the application's record operations do to reach the shared
// record context.
//
// Thread-safety: the delegate and the state are set and read on the main thread; the badge
// number may be read and set from any thread.
#pragma once

#include <atomic>
#include <memory>

namespace platform {

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Called once, when the application has launched. Returns false to refuse the launch.
  virtual bool applicationDidFinishLaunchingWithOptions() { return true; }
  virtual void applicationWillResignActive() {}
  virtual void applicationDidEnterBackground() {}
  virtual void applicationWillEnterForeground() {}
  virtual void applicationDidBecomeActive() {}
  virtual void applicationWillTerminate() {}
};

enum class ApplicationState { Active, Inactive, Background };

class Application {
 public:
  // Returns the running application.
  static Application& sharedApplication();

  // Returns the delegate, or nullptr before one is set.
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

  ApplicationState applicationState() const { return state_; }

  long applicationIconBadgeNumber() const { return badge_.load(); }
  void setApplicationIconBadgeNumber(long number) { badge_.store(number); }

  // Run the delegate's callbacks in the platform's order and keep the state in step.
  bool didFinishLaunching();
  void didBecomeActive();
  // Resign active, then enter the background.
  void enterBackground();
  // Leave the background, then become active.
  void enterForeground();
  // Enter the background (if active), then terminate.
  void terminate();

 private:
  std::shared_ptr<ApplicationDelegate> delegate_;
  ApplicationState state_ = ApplicationState::Inactive;
  std::atomic<long> badge_{0};
};

}  // namespace platform
