// FileSystem: the file-system services the client library stands on, over POSIX.
//
//  - The application's sandbox: a root directory per application (its "home"), holding
//    "Documents", "Library" and "Library/Caches". The root defaults to
//    $XDG_DATA_HOME/<executable name> (~/.local/share when unset); tests and tools point it
//    elsewhere with setSandboxRoot().
//  - Plain file operations that report failures as std::error_code (errno values in the
//    generic category) instead of throwing, so the library can turn them into error values.
//  - Atomic writes: the data goes to a temporary file beside the target, is flushed to disk,
//    and is renamed over the target; the directory is flushed too. A crash at any point leaves
//    either the old file or the new one, never a torn one.
//  - Modes: files and directories made here get exactly the mode asked for, whatever the
//    process's umask (the library's files hold session tokens: 0600 files, 0700 directories).
//
// Thread-safety: every function may be called from any thread. setSandboxRoot() is meant for
// start-up (or a test's set-up); paths already handed out keep pointing at the old root.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <sys/types.h>

#include <keel/base/Value.h>

namespace platform {

// Replaces the sandbox root (an empty path restores the default).
void setSandboxRoot(const std::string& path);
// Returns the application's home directory (the sandbox root).
std::string homeDirectory();
// Returns <home>/Documents.
std::string documentsDirectory();
// Returns <home>/Library.
std::string libraryDirectory();
// Returns <home>/Library/Caches.
std::string cachesDirectory();

// Returns `base` + "/" + `component` (without doubling slashes).
std::string appendPathComponent(const std::string& base, const std::string& component);
// Returns the last path component ("c" for "/a/b/c/").
std::string lastPathComponent(const std::string& path);
// Returns the last path component without its extension.
std::string lastPathComponentWithoutExtension(const std::string& path);
// Returns the path with "." and ".." resolved lexically and without a trailing slash.
std::string standardizePath(const std::string& path);

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// Returns the names of the entries of a directory (without "." and ".."), sorted.
std::vector<std::string> contentsOfDirectory(const std::string& path, std::error_code& error);

// Creates the directory and any missing parents with exactly `mode`; an existing directory is
// success and keeps its mode.
std::error_code createDirectories(const std::string& path, mode_t mode = 0700);

// Writes `data` atomically to `path`; the file has exactly the mode `mode` afterwards.
std::error_code writeFileAtomically(const std::string& path, const keel::Bytes& data,
                                    mode_t mode = 0600);
// Opens a file for reading and writing, creating it when missing, for a lock or other private
// use: a file we own gets the mode 0600. Returns the descriptor, or -1 with errno set.
int openPrivateFile(const std::string& path);
// Returns the contents of a regular file.
std::optional<keel::Bytes> readFile(const std::string& path, std::error_code& error);

// Removes a file, or a directory with everything in it. A missing item is an error (ENOENT).
std::error_code removeItem(const std::string& path);
// Copies a file or a directory tree; fails when `to` exists.
std::error_code copyItem(const std::string& from, const std::string& to);
// Moves an item; fails when `to` exists. Works across file systems (copy, then remove).
std::error_code moveItem(const std::string& from, const std::string& to);

// Marks a directory as not to be backed up (the extended attribute "user.keel.nobackup").
// A file system that cannot carry extended attributes has nothing for a backup to read either,
// so it counts as success.
std::error_code setExcludedFromBackup(const std::string& path);
// Returns true iff the directory carries the backup exclusion mark.
bool isExcludedFromBackup(const std::string& path);

// Returns the resolved path of the running executable.
std::string executablePath();

}  // namespace platform
