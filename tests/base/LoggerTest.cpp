#include <keel/base/Logger.h>

#include <thread>

#include <gtest/gtest.h>

namespace keel {
namespace {

// Captures the shared logger's lines for one test and puts level and sink back afterwards.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = logger().logLevel();
    // Unguarded on purpose: the logger promises one sink call at a time.
    savedSink_ = logger().setSink([this](const std::string& line) { lines_.push_back(line); });
  }
  void TearDown() override {
    logger().setSink(savedSink_);
    logger().setLogLevel(savedLevel_);
  }
  static Logger& logger() { return Logger::sharedLogger(); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::uint8_t savedLevel_ = 0;
  Logger::Sink savedSink_;
  std::vector<std::string> lines_;
};

TEST_F(LoggerTest, StartsAtWarningLevel) {
  // Every test here restores the level it found, so this sees the process's initial level.
  EXPECT_EQ(logger().logLevel(), 2);
  EXPECT_TRUE(logger().isEnabled(LoggingLevel::Warning));
  EXPECT_FALSE(logger().isEnabled(LoggingLevel::Info));
}

TEST_F(LoggerTest, WritesOnlyLevelsUpToTheCurrentOne) {
  logger().setLogLevel(2);
  logInfo("info %d", 3);
  logDebug("debug");
  logWarning("warned %@", "twice");
  logError("failed");
  logger().logMessageWithLevel(LoggingLevel::None, LoggingTag::Common, "level zero");
  logger().logMessageWithLevel(LoggingLevel::Error, LoggingTag::Common, nullptr);
  EXPECT_EQ(lines(), (std::vector<std::string>{"[Warning]: warned twice", "[Error]: failed"}));

  logger().setLogLevel(0);
  logError("silent");
  logger().setLogLevel(4);
  logDebug("now %@", Value(Array{Value(1)}));
  EXPECT_EQ(lines().back(), "[Debug]: now (1)");
  EXPECT_EQ(lines().size(), 3u);
}

TEST_F(LoggerTest, PutsTheTagDescriptionBetweenLevelAndMessage) {
  logger().setLogLevel(3);
  logger().logMessageWithLevel(LoggingLevel::Info, LoggingTag::CrashReporting, "%d crashes", 2);
  logger().logMessageWithLevel(LoggingLevel::Info, LoggingTag::Common, "plain");
  EXPECT_EQ(lines(), (std::vector<std::string>{"[Info][Crash Reporting]: 2 crashes", "[Info]: plain"}));
}

TEST_F(LoggerTest, KeepsLinesWholeWhenManyThreadsLog) {
  logger().setLogLevel(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) logError("thread %d line %d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  const auto& all = lines();
  ASSERT_EQ(all.size(), 400u);
  for (const auto& line : all) EXPECT_EQ(line.rfind("[Error]: thread ", 0), 0u) << line;
}

}  // namespace
}  // namespace keel
