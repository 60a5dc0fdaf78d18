// Files on Windows: the one mapping of the system's errors to errno, replacing, removing, the
// archive's target and unique files, every call through the system's Unicode ("W") functions;
// files written below a target folder are in staged_files_win32.cpp, files held open in
// held_file_win32.cpp.
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/internal_win32.h"
#include "platform/unique_names.h"
#include "platform/platform.h"
#include "platform/win32_text.h"

namespace kupack::platform {

// Sets errno from the thread's last Windows error, for callers that report with strerror.
void setErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      errno = EACCES;
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_INVALID_NAME:
      errno = EINVAL;
      break;
    default:
      errno = EIO;
      break;
  }
}

// `path` as the system's GetFullPathNameW makes it absolute; `path` itself when that fails.
std::wstring systemFullPath(const std::wstring& path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                          buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);  // too small: `length` is the capacity needed
  }
  return path;
}

// A native path for the system's "W" calls (see win32::systemPath); nullopt with errno
// EILSEQ for bytes that are no UTF-8, which name no file.
std::optional<std::wstring> wide(const std::string& path) {
  std::optional<std::wstring> converted = win32::systemPath(path, systemFullPath);
  if (!converted) errno = EILSEQ;
  return converted;
}

DWORD attributesOf(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  return name ? GetFileAttributesW(name->c_str()) : INVALID_FILE_ATTRIBUTES;
}

HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(name->c_str(), access, share, nullptr, disposition, flags, nullptr);
}

bool deleteFile(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  return name && DeleteFileW(name->c_str());
}

// A stream on an open handle, which it then owns; nullptr (errno set, the handle closed)
// when the runtime cannot take it.
std::FILE* streamOn(KernelHandle& file, int openFlags, const char* mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), openFlags);
  if (descriptor < 0) return nullptr;  // `file` still owns the handle and closes it
  file.release();                      // the descriptor owns the handle now
  std::FILE* stream = _fdopen(descriptor, mode);
  if (stream == nullptr) {
    const int error = errno;
    _close(descriptor);
    errno = error;
  }
  return stream;
}

bool keepReplacedFileAttributes(std::FILE* /*file*/, const std::string& /*replacedPath*/) {
  return true;
}

bool replaceFile(const std::string& from, const std::string& to) {
  const std::optional<std::wstring> source = wide(from);
  const std::optional<std::wstring> target = wide(to);
  if (!source || !target) return false;
  if (MoveFileExW(source->c_str(), target->c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    return true;
  }
  setErrnoFromLastError();
  return false;
}

bool removeFile(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (DeleteFileW(name->c_str())) return true;
  setErrnoFromLastError();
  return false;
}

std::optional<std::string> archiveTarget(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  // Nothing there (or nothing that can be looked at): the writer creates the archive or
  // says why it cannot.
  if (attributes == INVALID_FILE_ATTRIBUTES) return path;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EINVAL;
    return std::nullopt;
  }
  // Opened with its links followed: what the name finally leads to must be a file on disk.
  KernelHandle file(createFile(path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file.isOpen()) {
    setErrnoFromLastError();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EINVAL;
    return std::nullopt;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
  std::wstring final(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(file.get(), final.data(),
                                                   static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED);
    if (length == 0) break;
    if (length < final.size()) {
      final.resize(length);
      std::optional<std::string> target = nativePath(withoutExtendedPrefix(final));
      if (!target) errno = ENAMETOOLONG;
      return target;
    }
    final.resize(length);
  }
  errno = ENAMETOOLONG;
  return std::nullopt;
}

std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal) {
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = uniqueNameCandidate(stem, suffix);
    // CREATE_NEW fails on every existing name, a link included. FILE_SHARE_DELETE lets
    // an early end remove the file while it is still open.
    KernelHandle file(createFile(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
    if (!file.isOpen()) {
      if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
      setErrnoFromLastError();
      return nullptr;
    }
    std::FILE* stream = streamOn(file, _O_WRONLY | _O_BINARY, "wb");
    if (stream == nullptr) {
      const int error = errno;
      file.close();
      deleteFile(name);
      errno = error;
      return nullptr;
    }
    if (removal != nullptr) removal->track(name);
    createdPath = std::move(name);
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

bool makeNewFolder(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (CreateDirectoryW(name->c_str(), nullptr)) return true;
  setErrnoFromLastError();
  return false;
}

void startWriteback(std::FILE*, std::uint64_t, std::uint64_t) {}

}  // namespace kupack::platform
