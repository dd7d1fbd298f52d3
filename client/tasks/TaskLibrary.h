// TaskLibrary: facts about the task library itself.
//
// Thread-safety: stateless; safe from any thread.
#pragma once

namespace keel {

// The reverse-domain prefix of the labels of the library's own dispatch queues.
inline constexpr const char* kQueueLabelPrefix = "com.keel";

class TaskLibrary {
 public:
  // Returns the task library's version, "1.4.0".
  static const char* version();
};

}  // namespace keel
