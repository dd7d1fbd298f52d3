// A temporary sandbox (home, keychain, group containers) per test, and the library's
// process-wide configuration reset around it. The keychain keeps its items in the sandbox's
// files even where a desktop keyring is running: tests never touch a real keyring.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <keel/core/Keel.h>
#include <keel/platform/AppGroupContainer.h>
#include <keel/platform/DeviceInfo.h>
#include <keel/platform/FileSystem.h>
#include <keel/platform/Keychain.h>

namespace keel::testing {

class SandboxedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keel-test-XXXXXX";
    root = mkdtemp(pattern);
    platform::setSandboxRoot(root + "/home");
    platform::Keychain::setDirectory(root + "/keychain");
    platform::Keychain::setBackend(platform::KeychainBackend::File);
    platform::setGroupContainersRoot(root + "/groups");
    Keel::_clearCurrentManager();
    Keel::_resetDataSharingIdentifiers();
    Keel::setServer(kDefaultServerURLString);
  }
  void TearDown() override {
    Keel::_clearCurrentManager();
    Keel::_resetDataSharingIdentifiers();
    Keel::setServer(kDefaultServerURLString);
    platform::setMainBundleInfo({});
    platform::setSandboxRoot("");
    platform::Keychain::setDirectory("");
    platform::Keychain::setBackend(std::nullopt);
    platform::setGroupContainersRoot("");
    std::filesystem::remove_all(root);
  }

  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  std::string root;
};

}  // namespace keel::testing
