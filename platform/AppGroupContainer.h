// AppGroupContainer: the folder that the applications and extensions of one application group
// share. On this platform a group's container is <groups root>/<group identifier>, where the
// groups root defaults to ~/.local/share/keel-app-groups. A container is reachable when it
// exists or can be created; a group identifier that is empty or that could step outside the
// root ("/", "..", a leading ".") never is.
//
// Thread-safety: every function may be called from any thread; setGroupContainersRoot() is
// meant for start-up or a test's set-up.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Replaces the folder that holds the group containers (an empty path restores the default).
void setGroupContainersRoot(const std::string& path);

// Returns the container's path, creating it when needed, or no value when it cannot be had.
std::optional<std::string> containerPathForApplicationGroup(const std::string& groupIdentifier);

}  // namespace platform
