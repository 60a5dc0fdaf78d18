// Files written below a target folder on POSIX systems: folders made level by level and a
// staged file created under a temporary name, never following a link, then put in place.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include "platform/internal_posix.h"
#include "platform/platform.h"

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
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Why `name` in the folder `folderFd` could not be used as a folder or a file.
CreatedFile classifyRefusal(int folderFd, const std::string& name, int openError) {
  CreatedFile outcome;
  struct stat info {};
  if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      outcome.result = CreateBelowResult::ThroughLink;
      return outcome;
    }
    if (openError == ENOTDIR) {
      outcome.result = CreateBelowResult::NotAFolder;
      return outcome;
    }
  }
  outcome.result = CreateBelowResult::Failed;
  outcome.errorNumber = openError;
  return outcome;
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

struct StagedFile::Native {
  Descriptor folder{-1};
  std::string temporaryName;
  std::string name;
  bool replace = false;
  std::FILE* stream = nullptr;
  bool placed = false;
  int earlyEndSlot = -1;  // the temporary name, registered for removal on an early end
};

namespace {

// A name no other run picks: ".kupack-" and 16 random hexadecimal digits.
std::string temporaryFileName() {
  // One generator a thread: extraction makes files on several threads at once.
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(getpid()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string name = ".kupack-";
  std::uint64_t bits = generator();
  for (int i = 0; i < 16; ++i, bits >>= 4) name += DIGITS[bits & 0xF];
  return name + ".part";
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

StagedFile::StagedFile() = default;
StagedFile::StagedFile(std::unique_ptr<Native> native) : native_(std::move(native)) {}
StagedFile::~StagedFile() { discard(); }
StagedFile::StagedFile(StagedFile&&) noexcept = default;
StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    discard();
    native_ = std::move(other.native_);
  }
  return *this;
}

bool StagedFile::isOpen() const { return native_ && native_->stream != nullptr; }
std::FILE* StagedFile::stream() const { return native_ ? native_->stream : nullptr; }

bool StagedFile::place() {
  if (!isOpen()) {
    errno = EBADF;
    return false;
  }
  Native& file = *native_;
  const bool written = std::fclose(std::exchange(file.stream, nullptr)) == 0;
  const bool renamed =
      written &&
      (file.replace ? renameat(file.folder.get(), file.temporaryName.c_str(), file.folder.get(),
                               file.name.c_str()) == 0
                    : placeWithoutReplacing(file.folder.get(), file.temporaryName, file.name));
  if (!renamed) {
    const int error = errno;
    unlinkat(file.folder.get(), file.temporaryName.c_str(), 0);
    freeEarlyEndSlot(std::exchange(file.earlyEndSlot, -1));
    errno = error;
    return false;
  }
  file.placed = true;
  freeEarlyEndSlot(std::exchange(file.earlyEndSlot, -1));
  return true;
}

void StagedFile::discard() {
  if (!native_ || native_->placed) return;
  const int error = errno;
  if (native_->stream != nullptr) std::fclose(std::exchange(native_->stream, nullptr));
  unlinkat(native_->folder.get(), native_->temporaryName.c_str(), 0);
  freeEarlyEndSlot(std::exchange(native_->earlyEndSlot, -1));
  native_->placed = true;  // nothing left to remove
  errno = error;
}

CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace) {
  CreatedFile outcome;
  if (levels.empty()) {
    outcome.errorNumber = EINVAL;
    return outcome;
  }
  Descriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    outcome.errorNumber = errno;
    return outcome;
  }
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    const char* name = levels[i].c_str();
    if (mkdirat(folder.get(), name, 0777) != 0 && errno != EEXIST) {
      outcome.errorNumber = errno;
      return outcome;
    }
    const int next = openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return classifyRefusal(folder.get(), levels[i], errno);
    folder.reset(next);
  }
  const std::string& fileName = levels.back();
  struct stat existing {};
  if (fstatat(folder.get(), fileName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      outcome.errorNumber = EISDIR;
      return outcome;
    }
    if (!replace) {
      outcome.result =
          S_ISLNK(existing.st_mode) ? CreateBelowResult::ThroughLink : CreateBelowResult::Exists;
      return outcome;
    }
  } else if (errno != ENOENT) {
    outcome.errorNumber = errno;
    return outcome;
  }
  // The temporary file is new: made exclusively, so no link or other file is ever opened.
  auto native = std::make_unique<StagedFile::Native>();
  for (int attempt = 0; attempt < 100 && native->stream == nullptr; ++attempt) {
    native->temporaryName = temporaryFileName();
    // Made and registered for removal on an early end as one step, as far as this
    // thread's signals go (the folder's descriptor stays open as long as the slot).
    const EarlyEndSignalsHeld held;
    if (EarlyEndSignalsHeld::tooLate()) {
      outcome.errorNumber = EINTR;
      return outcome;
    }
    Descriptor file(openat(folder.get(), native->temporaryName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      outcome.errorNumber = errno;
      return outcome;
    }
    native->earlyEndSlot = takeEarlyEndSlot(folder.get(), native->temporaryName);
    native->stream = fdopen(file.get(), "wb");
    if (native->stream == nullptr) {
      outcome.errorNumber = errno;
      unlinkat(folder.get(), native->temporaryName.c_str(), 0);
      freeEarlyEndSlot(std::exchange(native->earlyEndSlot, -1));
      return outcome;
    }
    file.release();
  }
  if (native->stream == nullptr) {
    outcome.errorNumber = EEXIST;
    return outcome;
  }
  native->name = fileName;
  native->replace = replace;
  native->folder.reset(folder.release());
  outcome.result = CreateBelowResult::Created;
  outcome.file = StagedFile(std::move(native));
  return outcome;
}

}  // namespace kupack::platform

