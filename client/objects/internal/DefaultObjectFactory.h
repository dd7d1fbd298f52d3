// The factory the decoders use until another is installed: it builds Objects, of the class
// registered for each class name.
#pragma once

#include <memory>

#include <keel/objects/BackendObject.h>

namespace keel {

std::shared_ptr<ObjectFactory> makeDefaultObjectFactory();

}  // namespace keel
