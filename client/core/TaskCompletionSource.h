// TaskCompletionSource<T>, the producer side of a Task, is declared with Task in
// "core/Task.h"; this header exists so that producers can say what they use.
#pragma once

#include "core/Task.h"
