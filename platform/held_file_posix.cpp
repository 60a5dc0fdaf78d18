// Files held open on POSIX systems: read and written at positions while a mount serves them,
// and checked to be still the file that was opened.
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
#include "platform/file.h"
#include "platform/held_file.h"
#include "platform/platform.h"

namespace kupack::platform {
namespace {

std::int64_t modificationNanoseconds(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

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

bool namesPipe(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

Status readPipeToEnd(const std::string& path, std::uint64_t limit,
                     std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return fileFailure(Status::Code::CannotOpen, path, errno);
  struct stat info {};
  int error = 0;
  if (fstat(descriptor, &info) != 0) {
    error = errno;
  } else if (!S_ISFIFO(info.st_mode)) {
    error = EINVAL;
  }
  if (error != 0) {
    ::close(descriptor);
    return fileFailure(Status::Code::CannotOpen, path, error);
  }
  std::array<std::uint8_t, 65536> block{};
  Status status = Status::ok();
  for (;;) {
    const ssize_t got = ::read(descriptor, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      status = fileFailure(Status::Code::CannotRead, path, errno);
      break;
    }
    if (got == 0) break;
    if (static_cast<std::uint64_t>(got) > limit - bytes.size()) {
      status = Status::file(Status::Code::FileTooLarge, path);
      break;
    }
    bytes.insert(bytes.end(), block.begin(), block.begin() + got);
  }
  ::close(descriptor);
  return status;
}

}  // namespace kupack::platform
