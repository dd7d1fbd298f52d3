// A base header that reaches up into the client library: the layer check must reject it.
#pragma once
#include <keel/core/Keel.h>
