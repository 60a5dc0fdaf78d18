// Folders on POSIX systems: listed through the C library and put in the order NTFS keeps
// them, so that an archive packed here has its entries in the order it has on Windows.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/internal_posix.h"
#include "platform/upcase_table.h"

namespace kupack::platform {

namespace {

bool entryExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// ---- Listing order ------------------------------------------------------------------

// The uppercase of every UTF-16 code unit, built once from the fixed runs.
const std::array<char16_t, 0x10000>& upcaseTable() {
  static const auto table = [] {
    auto units = std::make_unique<std::array<char16_t, 0x10000>>();
    for (std::size_t unit = 0; unit < units->size(); ++unit) {
      (*units)[unit] = static_cast<char16_t>(unit);
    }
    for (const upcase::Run& run : upcase::kRuns) {
      for (std::uint32_t unit = run.first; unit <= run.last; unit += run.stride) {
        (*units)[unit] = static_cast<char16_t>(static_cast<std::int32_t>(unit) + run.delta);
      }
    }
    return units;
  }();
  return *table;
}

// What a name is ordered by: its UTF-16 form upper-cased, then as it is, then its bytes.
struct OrderedEntry {
  FolderEntry entry;
  bool hasUnicode = false;
  std::u16string folded;
  std::u16string units;
};

OrderedEntry withOrderKey(FolderEntry entry) {
  OrderedEntry ordered;
  std::optional<std::string> utf8;
  if (isUtf8(entry.name)) {
    utf8 = entry.name;
  } else {
    utf8 = cp932ToUtf8(entry.name);
  }
  if (utf8) {
    ordered.hasUnicode = true;
    ordered.units = utf8ToUtf16(*utf8);
    ordered.folded = ordered.units;
    const auto& upcase = upcaseTable();
    for (char16_t& unit : ordered.folded) unit = upcase[unit];
  }
  ordered.entry = std::move(entry);
  return ordered;
}

bool orderedBefore(const OrderedEntry& a, const OrderedEntry& b) {
  if (a.hasUnicode != b.hasUnicode) return a.hasUnicode;
  if (const int c = a.folded.compare(b.folded); c != 0) return c < 0;
  if (const int c = a.units.compare(b.units); c != 0) return c < 0;
  return a.entry.name < b.entry.name;  // std::string compares bytes as unsigned
}

// What a listed name is; a link is what it leads to, and one that cannot be followed
// (dangling, a loop) keeps the errno of the failure.
FolderEntry entryOf(int folderDescriptor, const dirent& found) {
  FolderEntry entry{found.d_name, EntryKind::Other};
  if (found.d_type == DT_DIR) {
    entry.kind = EntryKind::Folder;
    return entry;
  }
  if (found.d_type == DT_REG) {
    entry.kind = EntryKind::File;
    return entry;
  }
  if (found.d_type != DT_LNK && found.d_type != DT_UNKNOWN) return entry;
  struct stat info {};
  if (fstatat(folderDescriptor, found.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return entry;
  entry.link = S_ISLNK(info.st_mode);
  if (entry.link && fstatat(folderDescriptor, found.d_name, &info, 0) != 0) {
    entry.linkError = errno != 0 ? errno : ENOENT;
    return entry;
  }
  if (S_ISDIR(info.st_mode)) entry.kind = EntryKind::Folder;
  if (S_ISREG(info.st_mode)) entry.kind = EntryKind::File;
  return entry;
}

struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};

}  // namespace

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  entries.clear();
  const std::unique_ptr<DIR, FolderCloser> folder(opendir(path.c_str()));
  if (!folder) return false;
  bool sawSelf = false;
  bool sawParent = false;
  std::vector<OrderedEntry> others;
  for (;;) {
    errno = 0;
    const dirent* found = readdir(folder.get());
    if (found == nullptr) {
      if (errno != 0) return false;
      break;
    }
    const std::string_view name(found->d_name);
    if (name == ".") {
      sawSelf = true;
    } else if (name == "..") {
      sawParent = true;
    } else {
      others.push_back(withOrderKey(entryOf(dirfd(folder.get()), *found)));
    }
  }
  std::sort(others.begin(), others.end(), orderedBefore);
  entries.reserve(others.size() + 2);
  if (sawSelf) entries.push_back({".", EntryKind::Folder});
  if (sawParent) entries.push_back({"..", EntryKind::Folder});
  for (OrderedEntry& other : others) entries.push_back(std::move(other.entry));
  return true;
}

std::optional<FolderIdentity> folderIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return FolderIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<std::string> linkTarget(const std::string& path) {
  std::string target(256, '\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 4);
  }
  errno = ENAMETOOLONG;
  return std::nullopt;
}

bool isFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string& path) { return entryExists(path); }

}  // namespace kupack::platform
