// Everything kupack takes from the operating system, behind one small interface, one header
// per concern: paths.h, text.h, console.h, folders.h, memory.h, early_end.h and user.h (each
// implemented in <concern>_posix.cpp and <concern>_win32.cpp), and below, files. No other
// folder tests the platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/early_end.h"
#include "platform/folders.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/user.h"

namespace kupack::platform {

// ---- Files --------------------------------------------------------------------------

// Replaces `to` with `from` in one step; false (errno set) on failure.
bool replaceFile(const std::string& from, const std::string& to);

// Gives the open `file`, written to replace the file at `replacedPath`, that file's
// permissions and, as far as this process may set them, its owner and group (the set-user
// and set-group bits only with both kept), so that the replacement keeps them as editors
// do. True, doing nothing, when nothing is at `replacedPath` (a new file keeps the mode the
// umask gave it), and on Windows, where the new file keeps the access its folder gives.
// False (errno set) only when the permissions could not be set and `file` would let more
// users in than the old file did.
bool keepReplacedFileAttributes(std::FILE* file, const std::string& replacedPath);

// Where an archive named `path` is to be written: `path` itself when nothing is there or a
// regular file is; the file a symbolic link there leads to when that is a regular file (the
// archive replaces the file, the link stays). nullopt (errno set: EINVAL for something that
// is no regular file, ENOENT for a dangling link) when the name cannot take an archive.
// A name that cannot be looked at is given back as it is, for the writer to report.
std::optional<std::string> archiveTarget(const std::string& path);

// Starts writing bytes `from` to `to` of `file` (written so far) out to its disk without
// waiting for them. For an archive that will replace another: the rename over the old one
// makes the file system write out whatever is still unwritten before the rename returns, so
// bytes sent on their way while the run goes on shorten that wait. Does nothing where the
// system offers no such call.
void startWriteback(std::FILE* file, std::uint64_t from, std::uint64_t to);

// Creates a new, empty file for binary writing named `stem` + "." + random characters +
// `suffix`, exclusively (a name that exists, a link included, is never opened: another name
// is tried) and readable by others as a new file normally is. Sets `createdPath` to its name
// and, with `removal`, registers it there in the same step, so that an early end never
// leaves it behind. nullptr (errno set) when no file could be made.
std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal = nullptr);

// Deletes a file; false (errno set) on failure. A missing file counts as failure.
bool removeFile(const std::string& path);

// Makes the new, empty folder `path` (its parent must exist); false (errno set: EEXIST when
// anything, a link included, has the name already) otherwise. Never takes an existing one.
bool makeNewFolder(const std::string& path);

}  // namespace kupack::platform

// ---- Extracting below a target folder (used by the archive reader) -------------------
// The reader writes entries only below the folder the user named and never follows a
// link there: each folder level is entered without following links, and the file itself
// is opened without following one. Win32: reparse points count as links.

namespace kupack::platform {

// Makes the folder `path` and any missing parents (links in `path` itself are the
// user's and are followed). False (errno set) when it cannot be made.
bool makeFolders(const std::string& path);

// Staged files below a target folder are made through the file layer
// (FileSystem::createStaged in platform/file.h).

}  // namespace kupack::platform
