// Files on POSIX systems: sizes, reading, replacing, unique and staged files written below a
// target folder without following links, and files held open while a mount serves them.
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

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool keepReplacedFileAttributes(std::FILE* file, const std::string& replacedPath) {
  struct stat replaced {};
  if (stat(replacedPath.c_str(), &replaced) != 0 || !S_ISREG(replaced.st_mode)) return true;
  const int descriptor = fileno(file);
  // Owner and group first: a change of owner clears the set-user and set-group bits.
  const bool ownerKept = fchown(descriptor, replaced.st_uid, replaced.st_gid) == 0;
  if (!ownerKept) static_cast<void>(fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid));
  struct stat current {};
  if (fstat(descriptor, &current) != 0) return false;
  mode_t mode = replaced.st_mode & 07777;
  if (current.st_uid != replaced.st_uid || current.st_gid != replaced.st_gid)
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  if (fchmod(descriptor, mode) == 0) return true;
  const int error = errno;
  if (fstat(descriptor, &current) == 0 && (current.st_mode & ~mode & 0777) == 0) return true;
  errno = error;
  return false;
}

bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool makeNewFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

std::optional<std::string> archiveTarget(const std::string& path) {
  struct stat info {};
  // Nothing there (or nothing that can be looked at): the writer creates the archive or
  // says why it cannot.
  if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return path;
  if (!S_ISLNK(info.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  const auto target = resolvedPath(path);
  if (!target) return std::nullopt;
  if (stat(target->c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  return target;
}

std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal) {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(getpid()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = stem + '.';
    std::uint64_t bits = generator();
    for (int i = 0; i < 8; ++i, bits /= 36) name += DIGITS[bits % 36];
    name += suffix;
    // Made and registered for removal as one step, as far as this thread's signals go.
    const EarlyEndSignalsHeld held;
    if (EarlyEndSignalsHeld::tooLate()) {
      errno = EINTR;
      return nullptr;
    }
    // O_EXCL fails on every existing name, a link included, so nothing is followed.
    const int descriptor =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (removal != nullptr) removal->track(name);
    std::FILE* stream = fdopen(descriptor, "wb");
    if (stream == nullptr) {
      const int error = errno;
      ::close(descriptor);
      unlink(name.c_str());
      if (removal != nullptr) removal->release();
      errno = error;
      return nullptr;
    }
    createdPath = std::move(name);
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

void startWriteback(std::FILE* file, std::uint64_t from, std::uint64_t to) {
#if defined(SYNC_FILE_RANGE_WRITE)
  if (to > from) {
    sync_file_range(fileno(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                    SYNC_FILE_RANGE_WRITE);
  }
#else
  static_cast<void>(file), static_cast<void>(from), static_cast<void>(to);
#endif
}

}  // namespace kupack::platform

// ---- Extracting below a target folder --------------------------------------------------

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

// ---- Files held open while they are served -------------------------------------------

namespace kupack::platform {
namespace {

std::int64_t modificationNanoseconds(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

HeldFile::~HeldFile() { close(); }

HeldFile::HeldFile(HeldFile&& other) noexcept { *this = std::move(other); }

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    device_ = other.device_;
    fileNumber_ = other.fileNumber_;
    size_ = other.size_;
    modified_ = other.modified_;
  }
  return *this;
}

void HeldFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool HeldFile::isOpen() const { return handle_ >= 0; }

bool HeldFile::openForReading(const std::string& path) {
  close();
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return false;
  struct stat info {};
  const bool looked = fstat(descriptor, &info) == 0;
  if (!looked || !S_ISREG(info.st_mode)) {
    // Only a failed fstat leaves an errno of its own; anything else errno holds is stale.
    const int error = !looked ? errno : (S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    ::close(descriptor);
    errno = error;
    return false;
  }
  handle_ = descriptor;
  device_ = static_cast<std::uint64_t>(info.st_dev);
  fileNumber_ = static_cast<std::uint64_t>(info.st_ino);
  size_ = static_cast<std::uint64_t>(info.st_size);
  modified_ = modificationNanoseconds(info);
  return true;
}

bool HeldFile::openUnnamedTemporary() {
  close();
  const char* folder = std::getenv("TMPDIR");
  const std::string base = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  int descriptor = -1;
#ifdef O_TMPFILE
  descriptor = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (descriptor < 0) {
    // File systems without O_TMPFILE: a unique name, removed as soon as it is open.
    std::string name = joinPath(base, "kupack-XXXXXX");
    descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (descriptor < 0) return false;
    unlink(name.c_str());
  }
  handle_ = descriptor;
  return true;
}

bool HeldFile::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = ::pread(static_cast<int>(handle_), buffer.data() + done,
                                buffer.size() - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void HeldFile::willRead(std::uint64_t position, std::uint64_t length) const {
#if defined(POSIX_FADV_WILLNEED)
  posix_fadvise(static_cast<int>(handle_), static_cast<off_t>(position), static_cast<off_t>(length),
                POSIX_FADV_WILLNEED);
#else
  static_cast<void>(position), static_cast<void>(length);
#endif
}

bool HeldFile::writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::pwrite(static_cast<int>(handle_), bytes.data() + done,
                                 bytes.size() - done, static_cast<off_t>(position + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::int64_t HeldFile::modifiedUnixSeconds() const { return modified_ / 1000000000; }

bool HeldFile::stillNamedBy(const std::string& path) const {
  struct stat named {};
  struct stat held {};
  if (stat(path.c_str(), &named) != 0 || fstat(static_cast<int>(handle_), &held) != 0) {
    return false;
  }
  const auto same = [this](const struct stat& info) {
    return static_cast<std::uint64_t>(info.st_dev) == device_ &&
           static_cast<std::uint64_t>(info.st_ino) == fileNumber_ &&
           static_cast<std::uint64_t>(info.st_size) == size_ &&
           modificationNanoseconds(info) == modified_;
  };
  return same(named) && same(held);
}

bool HeldFile::unchangedWhileHeld() const {
  struct stat held {};
  if (fstat(static_cast<int>(handle_), &held) != 0) return false;
  return held.st_nlink > 0 && static_cast<std::uint64_t>(held.st_size) == size_ &&
         modificationNanoseconds(held) == modified_;
}

}  // namespace kupack::platform
