// An installed header of the core layer that includes one of the layer's internal headers,
// which are not installed.
#pragma once
#include <keel/core/internal/LazyComponent.h>
