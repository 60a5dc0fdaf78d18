// Files on POSIX systems: replacing, removing, the archive's target and unique files; files
// written below a target folder are in staged_files_posix.cpp, files held open in
// held_file_posix.cpp.
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
#include <utility>

#include "platform/internal_posix.h"
#include "platform/unique_names.h"
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
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = uniqueNameCandidate(stem, suffix);
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
