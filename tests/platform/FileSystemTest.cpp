#include <keel/platform/FileSystem.h>

#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace platform {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A umask that takes the owner's own bits away, as a careless launcher might set: whatever the
// library makes must still come out with exactly its own modes.
class TightUmaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keel-fs-XXXXXX";
    root = ::mkdtemp(pattern);
    saved_ = ::umask(0277);
  }
  void TearDown() override {
    ::umask(saved_);
    std::filesystem::remove_all(root);
  }

  std::string root;

 private:
  mode_t saved_ = 022;
};

TEST_F(TightUmaskTest, DirectoriesAreMadeWithTheirModeAndExistingOnesAreLeftAsTheyAre) {
  ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
  ASSERT_FALSE(createDirectories(root + "/a/b/c", 0700));
  EXPECT_EQ(modeOf(root + "/a"), 0700u);
  EXPECT_EQ(modeOf(root + "/a/b"), 0700u);
  EXPECT_EQ(modeOf(root + "/a/b/c"), 0700u);
  // Not ours to change: a parent that was there already.
  EXPECT_EQ(modeOf(root), 0755u);
  ASSERT_EQ(::chmod((root + "/a/b").c_str(), 0750), 0);
  EXPECT_FALSE(createDirectories(root + "/a/b", 0700));
  EXPECT_EQ(modeOf(root + "/a/b"), 0750u);
}

TEST_F(TightUmaskTest, FilesGetExactlyTheirModeAndReplaceLaxerOnes) {
  const std::string path = root + "/item";
  ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_FALSE(writeFileAtomically(path, keel::Bytes{'x'}));
  EXPECT_EQ(modeOf(path), 0600u);
  ASSERT_FALSE(writeFileAtomically(root + "/shared", keel::Bytes{'y'}, 0640));
  EXPECT_EQ(modeOf(root + "/shared"), 0640u);

  const std::string lock = root + "/item.lock";
  int fd = openPrivateFile(lock);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(modeOf(lock), 0600u);
  ASSERT_EQ(::chmod(lock.c_str(), 0666), 0);  // left by an older build
  fd = openPrivateFile(lock);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(modeOf(lock), 0600u);
}

}  // namespace
}  // namespace platform
