// Native paths: the separator, joining, the current directory and making a path absolute
// without looking at the disk. Nothing here opens, lists or changes a file.
#pragma once

#include <optional>
#include <string>

namespace kupack::platform {

// Native paths are UTF-8 (on POSIX the file system's own bytes, which are UTF-8 or, for
// names made elsewhere, any bytes; on Windows the system's UTF-16 names converted, whatever
// its ANSI code page). The archive works in code page 932 names with '\' between folder levels.

// The native folder separator ('/' on POSIX, '\\' on Windows).
char nativeSeparator();

// `folder` joined with `name` by one native separator (none added when `folder` already
// ends in one, as a drive root does).
std::string joinPath(const std::string& folder, const std::string& name);

// The absolute path of the current directory, or nullopt when it cannot be learned.
std::optional<std::string> currentDirectory();

// Makes `path` the current directory; false (errno set) when that fails.
bool changeDirectory(const std::string& path);

// `path` made absolute against `base` and normalized: no "." or ".." component, no
// repeated or trailing separator (except a root's own). Nothing is looked up on disk, so
// ".." removes the component before it even when that is a link; ".." at the root stays
// at the root.
std::string absolutePath(const std::string& path, const std::string& base);

}  // namespace kupack::platform
