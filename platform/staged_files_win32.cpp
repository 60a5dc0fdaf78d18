// Staged files' system calls on Windows (StagedFolder): folders made and entered level by
// level, each held open so that none can be swapped for a reparse point meanwhile, the
// temporary file created new without following one, and the rename that replaces a name
// as a name. Also the folders of a target made by path.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/internal_win32.h"
#include "platform/platform.h"
#include "platform/staged_folder.h"
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

struct StagedFolder::Native {
  std::string path;                                        // the folder held
  std::vector<std::unique_ptr<KernelHandle>> heldFolders;  // kept from being swapped for links
};

StagedFolder::StagedFolder() = default;
StagedFolder::~StagedFolder() = default;
StagedFolder::StagedFolder(StagedFolder&&) noexcept = default;
StagedFolder& StagedFolder::operator=(StagedFolder&&) noexcept = default;

bool StagedFolder::open(const std::string& root, const std::vector<std::string>& levels) {
  for (const std::string& level : levels) {
    if (!win32::isLiteralFileName(level, NATIVE_CODE_PAGE)) {
      errno = EINVAL;
      return false;
    }
  }
  if (!isFolder(root)) {
    errno = pathExists(root) ? ENOTDIR : ENOENT;
    return false;
  }
  native_ = std::make_unique<Native>();
  native_->path = root;
  return true;
}

CreateBelowResult StagedFolder::enter(const std::string& name, int& error) {
  const std::string folder = joinPath(native_->path, name);
  const auto failed = [&error] {
    error = errno;
    return CreateBelowResult::Failed;
  };
  if (!createFolder(folder)) return failed();
  auto handle = std::make_unique<KernelHandle>(openFolderWithoutFollowing(folder));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle->isOpen() || !GetFileInformationByHandle(handle->get(), &info)) {
    setErrnoFromLastError();
    return failed();
  }
  if (isReparsePoint(info.dwFileAttributes)) return CreateBelowResult::ThroughLink;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return CreateBelowResult::NotAFolder;
  native_->heldFolders.push_back(std::move(handle));
  native_->path = folder;
  return CreateBelowResult::Created;
}

Occupant StagedFolder::occupantOf(const std::string& name, int& /*error*/) const {
  const DWORD attributes = attributesOf(joinPath(native_->path, name));  // a link's own, if one
  if (attributes == INVALID_FILE_ATTRIBUTES) return Occupant::Nothing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Occupant::Folder;
  return isReparsePoint(attributes) ? Occupant::Link : Occupant::File;
}

std::FILE* StagedFolder::createExclusive(const std::string& name) {
  const std::string path = joinPath(native_->path, name);
  KernelHandle file(createFile(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
  if (!file.isOpen()) {
    setErrnoFromLastError();  // EEXIST for a name taken
    return nullptr;
  }
  std::FILE* stream = streamOn(file, _O_WRONLY | _O_BINARY, "wb");
  if (stream == nullptr) {
    const int error = errno;
    file.close();
    deleteFile(path);
    errno = error;
  }
  return stream;
}

bool StagedFolder::rename(const std::string& from, const std::string& to, bool replace) {
  // A rename replaces a link at the name as a name; the file it led to stays as it was.
  const std::optional<std::wstring> source = wide(joinPath(native_->path, from));
  const std::optional<std::wstring> target = wide(joinPath(native_->path, to));
  if (!source || !target) return false;
  if (MoveFileExW(source->c_str(), target->c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
    return true;
  setErrnoFromLastError();  // EEXIST for a name taken without replacing
  return false;
}

void StagedFolder::remove(const std::string& name) {
  if (!native_) return;
  const int error = errno;
  deleteFile(joinPath(native_->path, name));
  errno = error;
}

}  // namespace kupack::platform
