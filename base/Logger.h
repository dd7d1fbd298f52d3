// Logger: the library's logging. One shared instance; lines go to standard error (or to a sink
// that a test or the application installs) in the form
//   "[" level name "]" [ "[" tag description "]" ] ": " message
// Levels: 0 none, 1 "Error", 2 "Warning", 3 "Info", 4 "Debug". A message is written only when
// its level is not 0 and not above the current logLevel.
//
// Thread-safety: every member may be called from any thread; lines are never interleaved.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <keel/base/Format.h>

namespace keel {

enum class LoggingLevel : std::uint8_t { None = 0, Error = 1, Warning = 2, Info = 3, Debug = 4 };

// Tag 0 has no description; tag 100 is "Crash Reporting".
enum class LoggingTag : std::uint32_t { Common = 0, CrashReporting = 100 };

class Logger {
 public:
  using Sink = std::function<void(const std::string& line)>;

  static Logger& sharedLogger();

  std::uint8_t logLevel() const { return level_.load(std::memory_order_relaxed); }
  void setLogLevel(std::uint8_t level) {
    levelChosen_.store(true, std::memory_order_relaxed);
    level_.store(level, std::memory_order_relaxed);
  }
  // Sets the level that applies while nobody has called setLogLevel. The logger knows nothing of
  // the program it runs in; the layer that does (the client library's configuration) passes in
  // what suits it, e.g. quiet for an installed build. Until then the level is Warning.
  void setDefaultLogLevel(std::uint8_t level) {
    if (!levelChosen_.load(std::memory_order_relaxed)) level_.store(level, std::memory_order_relaxed);
  }

  // Returns true iff a message of `level` would be written now.
  bool isEnabled(LoggingLevel level) const {
    auto l = static_cast<std::uint8_t>(level);
    return l != 0 && l <= logLevel();
  }

  // Writes one line. Does nothing for level 0, a level above logLevel, or a null format.
  template <typename... Args>
  void logMessageWithLevel(LoggingLevel level, LoggingTag tag, const char* format,
                           const Args&... args) {
    if (!format || !isEnabled(level)) return;
    write(level, tag, formatMessage(format, args...));
  }

  // Returns the line exactly as it would be written (without the newline).
  static std::string formatLine(LoggingLevel level, LoggingTag tag, std::string_view message);
  static const char* levelName(LoggingLevel level);
  // Returns the tag's description, or an empty string when it has none.
  static const char* tagDescription(LoggingTag tag);

  // Replaces where lines go; an empty sink restores standard error. Returns the previous sink.
  Sink setSink(Sink sink);

 private:
  Logger() = default;
  void write(LoggingLevel level, LoggingTag tag, const std::string& message);

  std::atomic<std::uint8_t> level_{static_cast<std::uint8_t>(LoggingLevel::Warning)};
  std::atomic<bool> levelChosen_{false};
  std::mutex mutex_;
  Sink sink_;
};

template <typename... Args>
void logError(const char* format, const Args&... args) {
  Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Error, LoggingTag::Common, format, args...);
}
template <typename... Args>
void logWarning(const char* format, const Args&... args) {
  Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Warning, LoggingTag::Common, format, args...);
}
template <typename... Args>
void logInfo(const char* format, const Args&... args) {
  Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Info, LoggingTag::Common, format, args...);
}
template <typename... Args>
void logDebug(const char* format, const Args&... args) {
  Logger::sharedLogger().logMessageWithLevel(LoggingLevel::Debug, LoggingTag::Common, format, args...);
}

}  // namespace keel
