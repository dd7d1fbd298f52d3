// An application file that reaches the library's internals instead of its public API.
#include <keel/core/Keel.h>

void useTheManager() { keel::Keel::_currentManager(); }
