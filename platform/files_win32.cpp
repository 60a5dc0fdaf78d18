// Files on Windows: sizes, reading, replacing, unique and staged files written below a
// target folder without following reparse points, and files held open while a mount serves
// them; every call through the system's Unicode ("W") functions.
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
#include <random>
#include <utility>

#include "platform/internal_win32.h"
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
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = stem + '.';
    std::uint64_t bits = generator();
    for (int i = 0; i < 8; ++i, bits /= 36) name += DIGITS[bits % 36];
    name += suffix;
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

// ---- Extracting below a target folder --------------------------------------------------

namespace {

// Opens the folder `path` itself, a reparse point as such. Without FILE_SHARE_DELETE, the
// folder can be neither renamed nor removed (and so not swapped for a link) while the
// handle is held.
HANDLE openFolderWithoutFollowing(const std::string& path) {
  return createFile(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

CreatedFile failure(int errorNumber) {
  CreatedFile outcome;
  outcome.result = CreateBelowResult::Failed;
  outcome.errorNumber = errorNumber;
  return outcome;
}

CreatedFile refusal(CreateBelowResult result) {
  CreatedFile outcome;
  outcome.result = result;
  return outcome;
}

bool isReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Makes the folder `path`; true also when something of that name exists already (the caller
// looks at what it is). False with errno set otherwise.
bool createFolder(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (CreateDirectoryW(name->c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  setErrnoFromLastError();
  return false;
}

}  // namespace

bool makeFolders(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (isFolder(path)) return true;
  const std::string parent = win32::parentFolder(path, NATIVE_CODE_PAGE);
  if (!parent.empty() && parent != path && !makeFolders(parent)) return false;
  if (!createFolder(path)) return false;
  if (!isFolder(path)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

struct StagedFile::Native {
  std::vector<std::unique_ptr<KernelHandle>> heldFolders;  // kept from being swapped for links
  std::string temporaryPath;
  std::string path;
  bool replace = false;
  std::FILE* stream = nullptr;
  bool placed = false;
};

namespace {

// A name no other run picks: ".kupack-" and 16 random hexadecimal digits.
std::string temporaryFileName() {
  // One generator a thread: extraction makes files on several threads at once.
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                                   GetTickCount64()};
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string name = ".kupack-";
  std::uint64_t bits = generator();
  for (int i = 0; i < 16; ++i, bits >>= 4) name += DIGITS[bits & 0xF];
  return name + ".part";
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
  bool done = std::fclose(std::exchange(file.stream, nullptr)) == 0;
  if (done) {
    // A rename replaces a link at the name as a name; the file it led to stays as it was.
    const std::optional<std::wstring> from = wide(file.temporaryPath);
    const std::optional<std::wstring> to = wide(file.path);
    done = from && to &&
           MoveFileExW(from->c_str(), to->c_str(), file.replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!done && from && to) setErrnoFromLastError();
  }
  if (!done) {
    const int error = errno;
    deleteFile(file.temporaryPath);
    errno = error;
    return false;
  }
  file.placed = true;
  file.heldFolders.clear();
  return true;
}

void StagedFile::discard() {
  if (!native_ || native_->placed) return;
  const int error = errno;
  if (native_->stream != nullptr) std::fclose(std::exchange(native_->stream, nullptr));
  deleteFile(native_->temporaryPath);
  native_->placed = true;  // nothing left to remove
  native_->heldFolders.clear();
  errno = error;
}

CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace) {
  if (levels.empty()) return failure(EINVAL);
  for (const std::string& level : levels) {
    if (!win32::isLiteralFileName(level, NATIVE_CODE_PAGE)) return failure(EINVAL);
  }
  if (!isFolder(root)) return failure(pathExists(root) ? ENOTDIR : ENOENT);

  // Every level stays open until the file has been created.
  std::vector<std::unique_ptr<KernelHandle>> held;
  std::string folder = root;
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    folder = joinPath(folder, levels[i]);
    if (!createFolder(folder)) return failure(errno);
    auto handle = std::make_unique<KernelHandle>(openFolderWithoutFollowing(folder));
    if (!handle->isOpen()) {
      setErrnoFromLastError();
      return failure(errno);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle->get(), &info)) {
      setErrnoFromLastError();
      return failure(errno);
    }
    if (isReparsePoint(info.dwFileAttributes)) return refusal(CreateBelowResult::ThroughLink);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return refusal(CreateBelowResult::NotAFolder);
    }
    held.push_back(std::move(handle));
  }

  const std::string path = joinPath(folder, levels.back());
  const DWORD existing = attributesOf(path);  // a link's own, if one
  if (existing != INVALID_FILE_ATTRIBUTES) {
    if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0) return failure(EISDIR);
    if (!replace) {
      return refusal(isReparsePoint(existing) ? CreateBelowResult::ThroughLink
                                              : CreateBelowResult::Exists);
    }
  }
  // The temporary file is new: made exclusively, so no link or other file is ever opened.
  auto native = std::make_unique<StagedFile::Native>();
  HANDLE raw = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && raw == INVALID_HANDLE_VALUE; ++attempt) {
    native->temporaryPath = joinPath(folder, temporaryFileName());
    raw = createFile(native->temporaryPath, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (raw == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      setErrnoFromLastError();
      return failure(errno);
    }
  }
  if (raw == INVALID_HANDLE_VALUE) return failure(EEXIST);
  KernelHandle file(raw);
  native->stream = streamOn(file, _O_WRONLY | _O_BINARY, "wb");
  if (native->stream == nullptr) {
    const int error = errno;
    file.close();
    deleteFile(native->temporaryPath);
    return failure(error);
  }
  native->path = path;
  native->replace = replace;
  native->heldFolders = std::move(held);
  CreatedFile outcome;
  outcome.result = CreateBelowResult::Created;
  outcome.file = StagedFile(std::move(native));
  return outcome;
}

}  // namespace kupack::platform

// ---- Files held open while they are served -------------------------------------------

namespace kupack::platform {
namespace {

HANDLE heldHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

struct HeldFileFacts {
  std::uint64_t device = 0;
  std::uint64_t fileNumber = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
};

bool factsOf(HANDLE handle, HeldFileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  facts.device = info.dwVolumeSerialNumber;
  facts.fileNumber = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.modified =
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                info.ftLastWriteTime.dwLowDateTime);
  return true;
}

OVERLAPPED overlappedAt(std::uint64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  return at;
}

constexpr std::size_t MAX_WIN32_PIECE = 1u << 30;

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
  if (handle_ != -1) CloseHandle(heldHandle(handle_));
  handle_ = -1;
}

bool HeldFile::isOpen() const { return handle_ != -1; }

bool HeldFile::openForReading(const std::string& path) {
  close();
  HANDLE raw = createFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (raw == INVALID_HANDLE_VALUE) {
    setErrnoFromLastError();
    return false;
  }
  KernelHandle file(raw);
  HeldFileFacts facts;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !factsOf(file.get(), facts)) {
    errno = EINVAL;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  device_ = facts.device;
  fileNumber_ = facts.fileNumber;
  size_ = facts.size;
  modified_ = facts.modified;
  return true;
}

bool HeldFile::openUnnamedTemporary() {
  close();
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"kup", 0, name) == 0) {
    setErrnoFromLastError();
    return false;
  }
  HANDLE raw = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (raw == INVALID_HANDLE_VALUE) {
    setErrnoFromLastError();
    DeleteFileW(name);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(raw);
  return true;
}

void HeldFile::willRead(std::uint64_t, std::uint64_t) const {}

bool HeldFile::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto piece = static_cast<DWORD>(std::min(buffer.size() - done, MAX_WIN32_PIECE));
    OVERLAPPED at = overlappedAt(position + done);
    DWORD got = 0;
    if (!ReadFile(heldHandle(handle_), buffer.data() + done, piece, &got, &at)) {
      setErrnoFromLastError();
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    done += got;
  }
  return true;
}

bool HeldFile::writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto piece = static_cast<DWORD>(std::min(bytes.size() - done, MAX_WIN32_PIECE));
    OVERLAPPED at = overlappedAt(position + done);
    DWORD put = 0;
    if (!WriteFile(heldHandle(handle_), bytes.data() + done, piece, &put, &at) || put == 0) {
      setErrnoFromLastError();
      return false;
    }
    done += put;
  }
  return true;
}

std::int64_t HeldFile::modifiedUnixSeconds() const {
  constexpr std::int64_t TICKS_PER_SECOND = 10000000;
  constexpr std::int64_t SECONDS_FROM_1601_TO_1970 = 11644473600;
  return modified_ / TICKS_PER_SECOND - SECONDS_FROM_1601_TO_1970;
}

bool HeldFile::stillNamedBy(const std::string& path) const {
  HeldFile named;
  HeldFileFacts now;
  HeldFileFacts held;
  if (!named.openForReading(path) || !factsOf(heldHandle(named.handle_), now) ||
      !factsOf(heldHandle(handle_), held)) {
    return false;
  }
  const auto same = [this](const HeldFileFacts& facts) {
    return facts.device == device_ && facts.fileNumber == fileNumber_ && facts.size == size_ &&
           facts.modified == modified_;
  };
  return same(now) && same(held);
}

bool HeldFile::unchangedWhileHeld() const {
  BY_HANDLE_FILE_INFORMATION info{};
  HeldFileFacts held;
  if (!GetFileInformationByHandle(heldHandle(handle_), &info) ||
      !factsOf(heldHandle(handle_), held)) {
    return false;
  }
  return info.nNumberOfLinks > 0 && held.size == size_ && held.modified == modified_;
}

}  // namespace kupack::platform
