// Folders as the system shows them: listing in one fixed order on every system, a folder's
// identity on its device, where a link leads, and whether a path is a folder or exists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kupack::platform {

enum class EntryKind { File, Folder, Other };

struct FolderEntry {
  std::string name;  // native name, no folder part
  EntryKind kind;    // a link is reported as what it leads to; sockets, pipes, devices: Other
  bool link = false;  // a symbolic link (POSIX; Windows reports none)
  // For a link that cannot be followed (dangling: ENOENT, a loop of links: ELOOP, ...): the
  // errno of the failure, and `kind` is Other. 0 otherwise.
  int linkError = 0;
};

// Lists the folder at `path`, "." and ".." included, in the order the platform's own
// file system lists it (on POSIX: "." and ".." first, then the order NTFS would give:
// names compared by UTF-16 code units, each upper-cased by a fixed table, case-sensitive
// on a tie; CP932 names by their Unicode form; names with none last, by bytes), so that
// archives are the same everywhere. Returns false (errno set) when it cannot be read.
bool listFolder(const std::string& path, std::vector<FolderEntry>& entries);

// Identifies a folder on its device, to notice a link that leads back into a walk.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};
std::optional<FolderIdentity> folderIdentity(const std::string& path);

// The text a symbolic link at `path` holds (where it leads, as written), or nullopt (errno
// set) when `path` is no link or cannot be read.
std::optional<std::string> linkTarget(const std::string& path);

// True when `path` names an existing folder (a link to one counts).
bool isFolder(const std::string& path);

// True when `path` names something that exists (on POSIX a dangling link counts).
bool pathExists(const std::string& path);

}  // namespace kupack::platform
