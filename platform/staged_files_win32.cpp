// Files written below a target folder on Windows: folders made level by level and a staged
// file created under a temporary name, never through a reparse point, then put in place.
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

