#include <keel/base/Logger.h>

#include <cstdio>

namespace keel {

Logger& Logger::sharedLogger() {
  static Logger* logger = new Logger();  // never destroyed: logging works during exit
  return *logger;
}

const char* Logger::levelName(LoggingLevel level) {
  switch (level) {
    case LoggingLevel::Error: return "Error";
    case LoggingLevel::Warning: return "Warning";
    case LoggingLevel::Info: return "Info";
    case LoggingLevel::Debug: return "Debug";
    default: return "";
  }
}

const char* Logger::tagDescription(LoggingTag tag) {
  return tag == LoggingTag::CrashReporting ? "Crash Reporting" : "";
}

std::string Logger::formatLine(LoggingLevel level, LoggingTag tag, std::string_view message) {
  std::string line = "[";
  line += levelName(level);
  line += "]";
  const char* t = tagDescription(tag);
  if (*t) {
    line += "[";
    line += t;
    line += "]";
  }
  line += ": ";
  line += message;
  return line;
}

Logger::Sink Logger::setSink(Sink sink) {
  std::lock_guard lock(mutex_);
  std::swap(sink, sink_);
  return sink;
}

void Logger::write(LoggingLevel level, LoggingTag tag, const std::string& message) {
  std::string line = formatLine(level, tag, message);
  std::lock_guard lock(mutex_);
  if (sink_) {
    sink_(line);
    return;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace keel
