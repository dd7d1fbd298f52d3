// Application and Device: facts about the running program and the machine that the library's
// logging and request headers use.
//
// "Store environment": a program installed from a distribution package (its executable lives
// under /usr/ or /opt/) counts as a store build; there the library logs nothing by default, while
// a developer's build logs warnings and errors. "Extension environment": a program whose bundle
// path ends in ".appex" (never the case for a Linux program unless a host says so).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <string>

namespace keel {

class Application {
 public:
  static Application& currentApplication();

  bool isAppStoreEnvironment() const;
  bool isExtensionEnvironment() const;
  long iconBadgeNumber() const;
  // Changes the badge only when the value differs.
  void setIconBadgeNumber(long number);
};

class Device {
 public:
  static Device& currentDevice();

  // Returns the machine name ("x86_64"), or the generic model name when it cannot be read.
  std::string detailedModel() const;
  std::string operatingSystemVersion() const;
  std::string operatingSystemBuild() const;
  // Returns the version, then " (<build>)" when there is a build.
  std::string operatingSystemFullVersion() const;
};

}  // namespace keel
