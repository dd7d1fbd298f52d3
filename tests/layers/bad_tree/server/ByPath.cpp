// A server file that reaches a library header by its source path instead of its layer name.
#include "base/Value.h"
