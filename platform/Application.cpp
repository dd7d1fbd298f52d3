#include <keel/platform/Application.h>

namespace platform {

Application& Application::sharedApplication() {
  static Application application;
  return application;
}

bool Application::didFinishLaunching() {
  return delegate_ ? delegate_->applicationDidFinishLaunchingWithOptions() : true;
}

void Application::didBecomeActive() {
  state_ = ApplicationState::Active;
  if (delegate_) delegate_->applicationDidBecomeActive();
}

void Application::enterBackground() {
  if (state_ == ApplicationState::Background) return;
  if (delegate_) delegate_->applicationWillResignActive();
  state_ = ApplicationState::Background;
  if (delegate_) delegate_->applicationDidEnterBackground();
}

void Application::enterForeground() {
  if (state_ != ApplicationState::Background) return;
  state_ = ApplicationState::Inactive;
  if (delegate_) delegate_->applicationWillEnterForeground();
  didBecomeActive();
}

void Application::terminate() {
  enterBackground();
  if (delegate_) delegate_->applicationWillTerminate();
}

}  // namespace platform
