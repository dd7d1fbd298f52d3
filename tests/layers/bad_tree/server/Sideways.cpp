// A server file that uses the platform layer: the server speaks the base vocabulary only.
#include <keel/platform/Dispatch.h>
