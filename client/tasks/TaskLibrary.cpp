#include <keel/tasks/TaskLibrary.h>

namespace keel {

const char* TaskLibrary::version() { return "1.4.0"; }

}  // namespace keel
