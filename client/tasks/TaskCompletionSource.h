// TaskCompletionSource<T>, the producer side of a Task, is declared with Task in
// <keel/tasks/Task.h>; this header exists so that producers can say what they use.
#pragma once

#include <keel/tasks/Task.h>
