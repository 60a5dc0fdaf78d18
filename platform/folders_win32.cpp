// Folders on Windows: listed through the system's Unicode enumeration, identified by volume
// and file index.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/folders.h"
#include "platform/internal_win32.h"
#include "platform/paths.h"

namespace kupack::platform {

namespace {

// One open enumeration of the system, closed with it.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (isOpen()) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A name the system listed, as a native name. A lone surrogate (which no UTF-8 can hold)
// becomes '?', which no file name holds: nativeNameToCp932 refuses it, so the user learns of
// it.
std::string nativeName(std::wstring_view name) {
  return win32::nativeFromSystem(name).value_or("?");
}

}  // namespace

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  entries.clear();
  const std::optional<std::wstring> pattern = wide(joinPath(path, "*"));
  if (!pattern) return false;
  WIN32_FIND_DATAW record{};
  const FindHandle find(FindFirstFileW(pattern->c_str(), &record));
  if (!find.isOpen()) {
    setErrnoFromLastError();
    return false;
  }
  do {
    const bool folder = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries.push_back(
        FolderEntry{nativeName(record.cFileName), folder ? EntryKind::Folder : EntryKind::File});
  } while (FindNextFileW(find.get(), &record));
  if (GetLastError() != ERROR_NO_MORE_FILES) {
    setErrnoFromLastError();
    return false;
  }
  return true;
}

std::optional<FolderIdentity> folderIdentity(const std::string& path) {
  // Folders open only with the backup-semantics flag; no access right is needed to learn
  // the file index.
  const KernelHandle handle(createFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  if (!handle.isOpen()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
  const std::uint64_t index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // Some file systems give every file the index 0; that identifies nothing.
  if (index == 0) return std::nullopt;
  return FolderIdentity{info.dwVolumeSerialNumber, index};
}

std::optional<std::string> linkTarget(const std::string&) {
  // Listings report no links here (see listFolder), so no link's text is ever asked for.
  errno = EINVAL;
  return std::nullopt;
}

bool isFolder(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool pathExists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace kupack::platform
