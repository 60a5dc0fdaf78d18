// Staged files' system calls on POSIX systems (StagedFolder): folders made and entered level
// by level through descriptors, never following a link, and the temporary file created
// exclusively beside its name and registered for removal on an early end. Also the folders
// of a target made by path.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/internal_posix.h"
#include "platform/platform.h"
#include "platform/staged_folder.h"

namespace kupack::platform {
namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Why `name` in the folder `folderFd` could not be entered as a folder.
CreateBelowResult classifyRefusal(int folderFd, const std::string& name, int openError,
                                  int& error) {
  struct stat info {};
  if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) return CreateBelowResult::ThroughLink;
    if (openError == ENOTDIR) return CreateBelowResult::NotAFolder;
  }
  error = openError;
  return CreateBelowResult::Failed;
}

// Gives the complete temporary file its name without replacing anything: a hard link
// that fails when the name is taken, then the temporary name removed. File systems
// without hard links get a rename after a last look at the name.
bool placeWithoutReplacing(int folder, const std::string& from, const std::string& to) {
  if (linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
    unlinkat(folder, from.c_str(), 0);
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat info {};
  if (fstatat(folder, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

}  // namespace

bool makeFolders(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    partial = path.substr(0, end);
    if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    start = end + 1;
  }
  if (!isFolder(path)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

struct StagedFolder::Native {
  Descriptor folder{-1};
  int earlyEndSlot = -1;  // the temporary file, registered for removal on an early end

  void forgetTemporary() { freeEarlyEndSlot(std::exchange(earlyEndSlot, -1)); }
};

StagedFolder::StagedFolder() = default;
StagedFolder::~StagedFolder() {
  // The early end's entry holds the folder's descriptor: it goes first.
  if (native_) native_->forgetTemporary();
}
StagedFolder::StagedFolder(StagedFolder&&) noexcept = default;
StagedFolder& StagedFolder::operator=(StagedFolder&& other) noexcept {
  if (this != &other) {
    if (native_) native_->forgetTemporary();
    native_ = std::move(other.native_);
  }
  return *this;
}

bool StagedFolder::open(const std::string& root, const std::vector<std::string>& /*levels*/) {
  native_ = std::make_unique<Native>();
  native_->folder.reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return native_->folder.get() >= 0;
}

CreateBelowResult StagedFolder::enter(const std::string& name, int& error) {
  const int folder = native_->folder.get();
  if (mkdirat(folder, name.c_str(), 0777) != 0 && errno != EEXIST) {
    error = errno;
    return CreateBelowResult::Failed;
  }
  const int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (next < 0) return classifyRefusal(folder, name, errno, error);
  native_->folder.reset(next);
  return CreateBelowResult::Created;
}

Occupant StagedFolder::occupantOf(const std::string& name, int& error) const {
  struct stat info {};
  if (fstatat(native_->folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return Occupant::Nothing;
    error = errno;
    return Occupant::Unknown;
  }
  if (S_ISDIR(info.st_mode)) return Occupant::Folder;
  return S_ISLNK(info.st_mode) ? Occupant::Link : Occupant::File;
}

std::FILE* StagedFolder::createExclusive(const std::string& name) {
  const int folder = native_->folder.get();
  // Made and registered for removal on an early end as one step, as far as this thread's
  // signals go (the folder's descriptor stays open as long as the slot).
  const EarlyEndSignalsHeld held;
  if (EarlyEndSignalsHeld::tooLate()) {
    errno = EINTR;
    return nullptr;
  }
  Descriptor file(
      openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (file.get() < 0) return nullptr;
  native_->forgetTemporary();
  native_->earlyEndSlot = takeEarlyEndSlot(folder, name);
  std::FILE* stream = fdopen(file.get(), "wb");
  if (stream == nullptr) {
    const int error = errno;
    unlinkat(folder, name.c_str(), 0);
    native_->forgetTemporary();
    errno = error;
    return nullptr;
  }
  file.release();
  return stream;
}

bool StagedFolder::rename(const std::string& from, const std::string& to, bool replace) {
  const int folder = native_->folder.get();
  const bool renamed = replace ? renameat(folder, from.c_str(), folder, to.c_str()) == 0
                               : placeWithoutReplacing(folder, from, to);
  if (renamed) native_->forgetTemporary();
  return renamed;
}

void StagedFolder::remove(const std::string& name) {
  if (!native_) return;
  const int error = errno;
  unlinkat(native_->folder.get(), name.c_str(), 0);
  native_->forgetTemporary();
  errno = error;
}

}  // namespace kupack::platform
