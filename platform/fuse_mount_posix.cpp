// The read-only mount on Linux: libfuse 3's low-level interface in front of a
// ReadOnlyFileSystem, served by a multi-threaded loop.
#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/stop_request.h"
#include "platform/read_only_mount.h"

namespace kupack::platform {
namespace {

// The tree never changes while mounted: the kernel may keep names and attributes.
constexpr double CACHE_SECONDS = 3600.0;
constexpr unsigned IDLE_THREADS = 4;

ReadOnlyFileSystem& treeOf(fuse_req_t request) {
  return *static_cast<ReadOnlyFileSystem*>(fuse_req_userdata(request));
}

struct stat statOf(const ReadOnlyFileSystem& tree, const NodeAttributes& attributes) {
  struct stat info {};
  info.st_ino = attributes.node;
  info.st_mode = attributes.isFolder ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  info.st_nlink = attributes.isFolder ? 2 : 1;
  info.st_uid = getuid();
  info.st_gid = getgid();
  info.st_size = static_cast<off_t>(attributes.size);
  info.st_blksize = 4096;
  info.st_blocks = static_cast<blkcnt_t>((attributes.size + 511) / 512);
  info.st_mtim.tv_sec = tree.modificationTime();
  info.st_atim = info.st_mtim;
  info.st_ctim = info.st_mtim;
  return info;
}

fuse_entry_param entryOf(const ReadOnlyFileSystem& tree, const NodeAttributes& attributes) {
  fuse_entry_param entry{};
  entry.ino = attributes.node;
  entry.attr = statOf(tree, attributes);
  entry.attr_timeout = CACHE_SECONDS;
  entry.entry_timeout = CACHE_SECONDS;
  return entry;
}

void onInit(void*, fuse_conn_info* connection) {
  // Listings always carry their attributes, so `ls -l` and `find` need no lookups.
  connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
}

void onLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  NodeAttributes child;
  if (const int error = treeOf(request).lookup(parent, name, child); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  const fuse_entry_param entry = entryOf(treeOf(request), child);
  fuse_reply_entry(request, &entry);
}

void onGetattr(fuse_req_t request, fuse_ino_t node, fuse_file_info*) {
  NodeAttributes attributes;
  if (const int error = treeOf(request).getattr(node, attributes); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  const struct stat info = statOf(treeOf(request), attributes);
  fuse_reply_attr(request, &info, CACHE_SECONDS);
}

void onOpendir(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
  NodeAttributes attributes;
  int error = treeOf(request).getattr(node, attributes);
  if (error == 0 && !attributes.isFolder) error = ENOTDIR;
  if (error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  file->cache_readdir = 1;
  file->keep_cache = 1;
  fuse_reply_open(request, file);
}

// Fills one listing reply of at most `size` bytes, with or without attributes.
void replyListing(fuse_req_t request, fuse_ino_t folder, size_t size, off_t start, bool plus) {
  ReadOnlyFileSystem& tree = treeOf(request);
  std::vector<char> reply(size);
  std::size_t used = 0;
  std::string name;
  // Positions 0 and 1 are "." and ".."; the tree's children follow.
  const auto add = [&](std::string_view childName, const NodeAttributes& child,
                       std::uint64_t next) {
    name.assign(childName);
    const auto offset = static_cast<off_t>(next);
    std::size_t needed = 0;
    if (plus) {
      const fuse_entry_param entry = entryOf(tree, child);
      needed = fuse_add_direntry_plus(request, reply.data() + used, size - used, name.c_str(),
                                      &entry, offset);
    } else {
      const struct stat info = statOf(tree, child);
      needed =
          fuse_add_direntry(request, reply.data() + used, size - used, name.c_str(), &info, offset);
    }
    if (needed > size - used) return false;
    used += needed;
    return true;
  };
  NodeAttributes self;
  int error = tree.getattr(folder, self);
  for (auto position = static_cast<std::uint64_t>(start); error == 0 && position < 2; ++position) {
    if (!add(position == 0 ? "." : "..", self, position + 1)) break;
  }
  if (error == 0 && used < size) {
    const auto first = static_cast<std::uint64_t>(std::max<off_t>(start, 2)) - 2;
    error = tree.readdir(folder, first,
                         [&](std::string_view childName, const NodeAttributes& child,
                             std::uint64_t next) { return add(childName, child, next + 2); });
  }
  if (error != 0 && used == 0) {
    fuse_reply_err(request, error);
    return;
  }
  fuse_reply_buf(request, reply.data(), used);
}

void onReaddir(fuse_req_t request, fuse_ino_t folder, size_t size, off_t start, fuse_file_info*) {
  replyListing(request, folder, size, start, false);
}

void onReaddirplus(fuse_req_t request, fuse_ino_t folder, size_t size, off_t start,
                   fuse_file_info*) {
  replyListing(request, folder, size, start, true);
}

void onOpen(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(request, EROFS);
    return;
  }
  std::uint64_t handle = 0;
  if (const int error = treeOf(request).open(node, handle); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  file->fh = handle;
  file->keep_cache = 1;  // the bytes never change while mounted
  if (fuse_reply_open(request, file) != 0) treeOf(request).release(handle);
}

void onRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* file) {
  thread_local std::vector<std::uint8_t> buffer;
  if (offset < 0) {
    fuse_reply_err(request, EINVAL);
    return;
  }
  if (buffer.size() < size) buffer.resize(size);
  std::size_t got = 0;
  const int error = treeOf(request).read(file->fh, static_cast<std::uint64_t>(offset),
                                         std::span<std::uint8_t>(buffer.data(), size), got);
  if (error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  fuse_reply_buf(request, reinterpret_cast<const char*>(buffer.data()), got);
}

void onRelease(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
  treeOf(request).release(file->fh);
  fuse_reply_err(request, 0);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = onInit;
  ops.lookup = onLookup;
  ops.getattr = onGetattr;
  ops.opendir = onOpendir;
  ops.readdir = onReaddir;
  ops.readdirplus = onReaddirplus;
  ops.open = onOpen;
  ops.read = onRead;
  ops.release = onRelease;
  return ops;
}

// A mount option's value with the separators libfuse splits on escaped.
std::string escapedOptionValue(std::string_view value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

class FuseArguments {
 public:
  explicit FuseArguments(const std::string& sourceName) {
    add("kupack");
    add("-o");
    add("ro,default_permissions,subtype=kupack,fsname=" + escapedOptionValue(sourceName));
  }
  ~FuseArguments() { fuse_opt_free_args(&args_); }
  FuseArguments(const FuseArguments&) = delete;
  FuseArguments& operator=(const FuseArguments&) = delete;
  fuse_args* get() { return &args_; }

 private:
  void add(const std::string& argument) { fuse_opt_add_arg(&args_, argument.c_str()); }
  fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// The FUSE library's handlers for INT, TERM and HUP end the session once the requests being
// served are answered; a request may be a long decode. Put in front of them while the
// session handles signals, a stop is requested first, so that such a decode ends early.
constexpr int SESSION_ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction libraryActions[std::size(SESSION_ENDING_SIGNALS)];

extern "C" void requestStopAndEndSession(int signalNumber) {
  requestStop();
  for (std::size_t i = 0; i < std::size(SESSION_ENDING_SIGNALS); ++i) {
    if (SESSION_ENDING_SIGNALS[i] == signalNumber) libraryActions[i].sa_handler(signalNumber);
  }
}

class StopRequestedOnEnd {
 public:
  StopRequestedOnEnd() {
    for (std::size_t i = 0; i < std::size(SESSION_ENDING_SIGNALS); ++i) {
      struct sigaction& library = libraryActions[i];
      if (sigaction(SESSION_ENDING_SIGNALS[i], nullptr, &library) != 0) continue;
      // A signal the library left alone (ignored, or the default) stays as it is.
      if ((library.sa_flags & SA_SIGINFO) != 0 || library.sa_handler == SIG_DFL ||
          library.sa_handler == SIG_IGN) {
        continue;
      }
      struct sigaction chained = library;
      chained.sa_handler = requestStopAndEndSession;
      chained_[i] = sigaction(SESSION_ENDING_SIGNALS[i], &chained, nullptr) == 0;
    }
  }
  ~StopRequestedOnEnd() {
    for (std::size_t i = 0; i < std::size(SESSION_ENDING_SIGNALS); ++i) {
      if (chained_[i]) sigaction(SESSION_ENDING_SIGNALS[i], &libraryActions[i], nullptr);
    }
  }
  StopRequestedOnEnd(const StopRequestedOnEnd&) = delete;
  StopRequestedOnEnd& operator=(const StopRequestedOnEnd&) = delete;

 private:
  bool chained_[std::size(SESSION_ENDING_SIGNALS)] = {};
};

// One FUSE session: signal handlers while it lives, the mount while it is made.
class FuseSession {
 public:
  FuseSession(fuse_session* session) : session_(session) {}
  ~FuseSession() {
    if (session_ == nullptr) return;
    if (mounted_) fuse_session_unmount(session_);
    stopRequestedOnEnd_.reset();
    if (handlingSignals_) fuse_remove_signal_handlers(session_);
    fuse_session_destroy(session_);
  }
  FuseSession(const FuseSession&) = delete;
  FuseSession& operator=(const FuseSession&) = delete;

  bool isOpen() const { return session_ != nullptr; }
  bool handleSignals() {
    handlingSignals_ = fuse_set_signal_handlers(session_) == 0;
    if (handlingSignals_) stopRequestedOnEnd_.emplace();
    return handlingSignals_;
  }
  bool mount(const std::string& mountPoint) {
    return mounted_ = fuse_session_mount(session_, mountPoint.c_str()) == 0;
  }
  int serve() {
    fuse_loop_config config{};
    config.clone_fd = 0;
    config.max_idle_threads = IDLE_THREADS;
    return fuse_session_loop_mt(session_, &config);
  }

 private:
  fuse_session* session_;
  bool handlingSignals_ = false;
  std::optional<StopRequestedOnEnd> stopRequestedOnEnd_;
  bool mounted_ = false;
};

// `path` as the working folder now gives it, still valid once the process has moved to
// "/" (as going to the background does). Left as it is when the working folder is unknown.
std::string fromWorkingFolder(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  const std::unique_ptr<char, decltype(&std::free)> here(getcwd(nullptr, 0), &std::free);
  if (here == nullptr) return path;
  return std::string(here.get()) + "/" + path;
}

// The folder to mount on, its links and "." and ".." resolved while it is not yet mounted
// (once it is, looking through it would wait for the server that is not serving yet).
std::string resolvedFolder(const std::string& folder) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(folder.c_str(), nullptr),
                                                            &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : fromWorkingFolder(folder);
}

// Temporary files are made in TMPDIR after the move to the background.
void makeTemporaryFolderAbsolute() {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0' || *folder == '/') return;
  setenv("TMPDIR", fromWorkingFolder(folder).c_str(), 1);
}

bool sameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

MountPointState mountPointState(const std::string& folder) {
  struct stat inside {};
  if (stat(folder.c_str(), &inside) != 0) {
    return errno == ENOTCONN ? MountPointState::DeadMount : MountPointState::Missing;
  }
  if (!S_ISDIR(inside.st_mode)) return MountPointState::Missing;
  // A mount's root lies on another device than the folder above it (the root folder
  // has none above it: its ".." is itself).
  struct stat above {};
  const std::string parent = folder + "/..";
  if (stat(parent.c_str(), &above) != 0 || sameFile(inside, above)) return MountPointState::Usable;
  if (inside.st_dev == above.st_dev) return MountPointState::Usable;
  // The kernel may answer stat from what it keeps of a dead mount; opening the folder
  // asks its server.
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return errno == ENOTCONN ? MountPointState::DeadMount : MountPointState::AlreadyMounted;
  }
  closedir(listing);
  return MountPointState::AlreadyMounted;
}

bool mountWouldHide(const std::string& folder, const std::string& path) {
  struct stat target {};
  if (stat(folder.c_str(), &target) != 0) return false;
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                            &std::free);
  if (resolved == nullptr) return false;
  std::string above(resolved.get());
  // Each folder above the file, up to the root.
  while (above.size() > 1) {
    above.resize(std::max<std::size_t>(above.rfind('/'), 1));
    struct stat level {};
    if (stat(above.c_str(), &level) == 0 && sameFile(level, target)) return true;
  }
  return false;
}

Status readOnlyMountAvailable() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    return Status::refused(Status::Reason::FuseUnopenable).withErrorNumber(errno);
  }
  return Status::ok();
}

Status serveReadOnlyMount(ReadOnlyFileSystem& tree, const MountRequest& request) {
  using Reason = Status::Reason;
  if (Status available = readOnlyMountAvailable(); !available) return available;
  FuseArguments arguments(request.sourceName);
  const fuse_lowlevel_ops ops = operations();
  FuseSession session(fuse_session_new(arguments.get(), &ops, sizeof ops, &tree));
  if (!session.isOpen()) {
    return Status::refused(Reason::FuseSessionFailed);
  }
  if (!session.handleSignals()) {
    return Status::refused(Reason::FuseSignalsFailed);
  }
  const std::string mountPoint = resolvedFolder(request.mountPoint);
  makeTemporaryFolderAbsolute();
  if (!session.mount(mountPoint)) {
    return Status::refused(Reason::MountFailed).inFile(mountPoint);
  }
  // The mount is made before the process leaves for the background, so the starting
  // process ends only once the folder shows the archive.
  if (fuse_daemonize(request.foreground ? 1 : 0) != 0) {
    return Status::refused(Reason::BackgroundFailed);
  }
  if (request.onLive) request.onLive();
  // The loop gives 0 after an unmount, the signal's number after Ctrl-C or SIGTERM (both
  // clean endings: the session unmounts on the way out), and -errno on a failure.
  if (session.serve() < 0) {
    return Status::refused(Reason::FuseLoopFailed);
  }
  return Status::ok();
}

}  // namespace kupack::platform
