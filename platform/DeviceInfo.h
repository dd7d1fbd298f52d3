// DeviceInfo: facts about the machine and the running program, as this platform knows them.
//
//  - machine(): the hardware name uname reports ("x86_64", "aarch64").
//  - systemVersion(): the distribution's VERSION_ID from /etc/os-release ("12"), falling back
//    to the kernel release when there is none.
//  - systemBuild(): the kernel release ("6.1.0-18-amd64").
//  - The main bundle: the running program's identifier, name and version. A program states
//    them once at start-up with setMainBundleInfo(); until then they derive from the
//    executable's name: identifier "local.<name>", name "<name>", version "0".
//  - The icon badge number, kept here for the process (there is no launcher badge to set).
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <string>

namespace platform {

struct BundleInfo {
  std::string identifier;
  std::string name;
  std::string version;       // the build version
  std::string shortVersion;  // the marketing version
  std::string bundlePath;    // where the program lives (the executable's folder)
};

std::string machine();
std::string systemVersion();
std::string systemBuild();
// Returns the generic model name used when the machine name cannot be read.
std::string genericModelName();

// Replaces the main bundle's facts; empty fields keep their derived values.
void setMainBundleInfo(const BundleInfo& info);
BundleInfo mainBundleInfo();

long iconBadgeNumber();
void setIconBadgeNumber(long value);

}  // namespace platform
