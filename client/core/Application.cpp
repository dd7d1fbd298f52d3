#include <keel/core/Application.h>

#include <keel/base/Format.h>
#include <keel/platform/DeviceInfo.h>
#include <keel/platform/FileSystem.h>

namespace keel {

Application& Application::currentApplication() {
  static Application application;
  return application;
}

bool Application::isAppStoreEnvironment() const {
  const std::string exe = platform::executablePath();
  return exe.rfind("/usr/", 0) == 0 || exe.rfind("/opt/", 0) == 0;
}

bool Application::isExtensionEnvironment() const {
  const std::string path = platform::mainBundleInfo().bundlePath;
  constexpr std::string_view suffix = ".appex";
  return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

long Application::iconBadgeNumber() const { return platform::iconBadgeNumber(); }

void Application::setIconBadgeNumber(long number) {
  if (platform::iconBadgeNumber() != number) platform::setIconBadgeNumber(number);
}

Device& Device::currentDevice() {
  static Device device;
  return device;
}

std::string Device::detailedModel() const {
  std::string machine = platform::machine();
  return machine.empty() ? platform::genericModelName() : machine;
}

std::string Device::operatingSystemVersion() const { return platform::systemVersion(); }

std::string Device::operatingSystemBuild() const { return platform::systemBuild(); }

std::string Device::operatingSystemFullVersion() const {
  const std::string build = operatingSystemBuild();
  return build.empty() ? operatingSystemVersion() : operatingSystemVersion() + formatMessage(" (%@)", build);
}

}  // namespace keel
