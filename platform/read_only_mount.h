// Showing a read-only tree of files as a folder of the system (a FUSE mount on Linux).
// The tree is any ReadOnlyFileSystem; the mount serves the kernel's requests from a few
// threads at once, so every method must be safe to call concurrently.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "common/status.h"

namespace kupack::platform {

// Node numbers: the root is always 1; 0 is never a node.
inline constexpr std::uint64_t ROOT_NODE = 1;

struct NodeAttributes {
  std::uint64_t node = 0;
  bool isFolder = false;
  std::uint64_t size = 0;  // bytes a read gives for a file; 0 for a folder
};

// The tree behind a mount. Methods return 0 or a positive errno value (ENOENT, ENOTDIR,
// EISDIR, EIO, ...), which the mount hands to the reader.
class ReadOnlyFileSystem {
 public:
  virtual ~ReadOnlyFileSystem() = default;

  // The child `name` of the folder `parent`.
  virtual int lookup(std::uint64_t parent, std::string_view name, NodeAttributes& child) = 0;
  virtual int getattr(std::uint64_t node, NodeAttributes& attributes) = 0;

  // Hands the children of `folder` from position `start` (0: the first) to `add`, each
  // with its attributes and the position after it, until `add` returns false (the reply
  // is full) or the children are done. "." and ".." are the mount's.
  using ChildSink =
      std::function<bool(std::string_view name, const NodeAttributes&, std::uint64_t next)>;
  virtual int readdir(std::uint64_t folder, std::uint64_t start, const ChildSink& add) = 0;

  // Opens the file `node` for reading; `handle` is then given to read and release.
  virtual int open(std::uint64_t node, std::uint64_t& handle) = 0;
  // Reads up to `buffer.size()` bytes at `offset`; `got` is less only at the file's end
  // (0 at or past it).
  virtual int read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buffer,
                   std::size_t& got) = 0;
  virtual void release(std::uint64_t handle) = 0;

  // Modification time of every node, seconds since 1970.
  virtual std::int64_t modificationTime() const = 0;
};

struct MountRequest {
  std::string mountPoint;  // native path of an existing folder
  std::string sourceName;  // shown as the mount's source (the archive's path)
  bool foreground = false;
  // Called once the mount is live: in the foreground before requests are served; when
  // the process goes to the background, in the background process.
  std::function<void()> onLive;
};

// A failure (Code::Refused, with the reason) where this system cannot mount: no FUSE support built
// in or no /dev/fuse.
Status readOnlyMountAvailable();

// What stands at a folder one means to mount on.
enum class MountPointState {
  Usable,          // a folder that shows no other mount
  Missing,         // nothing, or no folder
  DeadMount,       // a mount whose server has ended ("Transport endpoint is not connected")
  AlreadyMounted,  // a folder that already shows another mount
};
MountPointState mountPointState(const std::string& folder);

// True when the existing file `path` lies below `folder`, however either is spelled
// (links included): a mount on `folder` then hides the file's name.
bool mountWouldHide(const std::string& folder, const std::string& path);

// Mounts `tree` read-only at the request's folder and serves it until the mount is
// undone (fusermount3 -u, umount) or the process is told to end (Ctrl-C, SIGTERM);
// then unmounts and returns 0. Without `foreground` the process goes to the background
// once the mount is live, and the starting process exits with status 0 from inside this
// call; the background process works from "/", so a relative mount point and a relative
// TMPDIR are made absolute first. Returns a failure (with the reason) when the mount
// cannot be made.
Status serveReadOnlyMount(ReadOnlyFileSystem& tree, const MountRequest& request);

}  // namespace kupack::platform
