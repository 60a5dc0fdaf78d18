#include "archive/collector.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "archive/entry_path.h"
#include "platform/platform.h"

namespace kupack {
namespace {

bool isSelfOrParent(const std::string& name) { return name == "." || name == ".."; }

// At most this many folders are looked at above the root: deeper trees do not exist.
constexpr int MAX_ANCESTOR_LEVELS = 4096;

class Walker {
 public:
  Walker(const CollectRequest& request, Collection& collection, PackListener& listener)
      : request_(request), collection_(collection), listener_(listener) {
    for (const auto& path : request.excludedPaths) {
      if (auto identity = platform::folderIdentity(path)) excludedIdentities_.push_back(*identity);
    }
    noteRootAndAncestors();
  }

  bool walkRoot() {
    std::vector<platform::FolderEntry> entries;
    if (!platform::listFolder(request_.rootFolder, entries)) return false;
    if (auto identity = platform::folderIdentity(request_.rootFolder))
      openFolders_.push_back(*identity);
    walkEntries(entries, std::string(), std::string());
    return true;
  }

 private:
  // The root and every folder above it, as the file system links them (".." of each):
  // a link to any of them would lead the walk out of the root.
  void noteRootAndAncestors() {
    std::string path = request_.rootFolder;
    for (int level = 0; level < MAX_ANCESTOR_LEVELS; ++level) {
      const auto identity = platform::folderIdentity(path);
      if (!identity || isRootOrAncestor(*identity)) return;
      rootAndAncestors_.push_back(*identity);
      path = platform::joinPath(path, "..");
    }
  }

  bool isRootOrAncestor(const platform::FolderIdentity& identity) const {
    return std::find(rootAndAncestors_.begin(), rootAndAncestors_.end(), identity) !=
           rootAndAncestors_.end();
  }

  // The entries of one folder; `nativePrefix` and `namePrefix` as for walkSubfolder (empty
  // for the root).
  void walkEntries(const std::vector<platform::FolderEntry>& entries,
                   const std::string& nativePrefix, const std::string& namePrefix) {
    for (const auto& entry : entries) {
      if (isSelfOrParent(entry.name) || leftOut(namePrefix, entry.name)) continue;
      const std::string nativeRelative = nativePrefix + entry.name;
      const std::string path = platform::joinPath(request_.rootFolder, nativeRelative);
      if (entry.linkError != 0) {
        collection_.unfollowableLinks.push_back({path, entry.linkError});
        continue;
      }
      if (entry.kind == platform::EntryKind::Folder && leadsToRootOrAbove(path)) {
        listener_.onEvent({PackEvent::Kind::LinkToAncestor, path});
        continue;
      }
      if (entry.link && entry.kind != platform::EntryKind::Other && !isExcluded(nativeRelative)) {
        PackEvent followed{PackEvent::Kind::LinkFollowed, path};
        followed.detail = platform::linkTarget(path).value_or("?");
        listener_.onEvent(followed);
      }
      if (entry.kind == platform::EntryKind::Folder) {
        walkSubfolder(nativeRelative + platform::nativeSeparator(),
                      namePrefix + nameOf(nativeRelative, entry.name) + '\\');
      } else if (entry.kind == platform::EntryKind::File) {
        if (nativePrefix.empty() && entry.name == request_.programName) continue;
        addFile(nativeRelative, namePrefix, entry.name);
      } else if (!isExcluded(nativeRelative)) {
        collection_.skippedSpecialFiles.push_back(nativeRelative);
        listener_.onEvent({PackEvent::Kind::SpecialSkipped, path});
      }
    }
  }

  // True when the folder at `path` is the root or one above it (a link, or a Windows
  // junction, leading there): entering it would walk out of the root.
  bool leadsToRootOrAbove(const std::string& path) const {
    const auto identity = platform::folderIdentity(path);
    return identity && isRootOrAncestor(*identity);
  }

  // `nativePrefix` and `namePrefix` are the folder's relative path, each with a trailing
  // separator, native and as the start of an archive name.
  void walkSubfolder(const std::string& nativePrefix, const std::string& namePrefix) {
    const std::string folderPath = platform::joinPath(request_.rootFolder, nativePrefix);
    listener_.onEvent({PackEvent::Kind::FolderEntered, folderPath});
    const auto identity = platform::folderIdentity(folderPath);
    if (identity &&
        std::find(openFolders_.begin(), openFolders_.end(), *identity) != openFolders_.end()) {
      listener_.onEvent({PackEvent::Kind::FolderCycle, folderPath});
    } else {
      if (identity) openFolders_.push_back(*identity);
      std::vector<platform::FolderEntry> entries;
      if (!platform::listFolder(folderPath, entries)) {
        collection_.unreadableFolders.push_back({folderPath, errno != 0 ? errno : EIO});
      } else {
        walkEntries(entries, nativePrefix, namePrefix);
      }
      if (identity) openFolders_.pop_back();
    }
    listener_.onEvent({PackEvent::Kind::FolderLeft, folderPath});
  }

  // Whether the user's exclude rules leave out `nativeName` in the folder whose recorded name
  // starts with `namePrefix`. A name with no code page 932 form is matched by its own bytes.
  bool leftOut(const std::string& namePrefix, const std::string& nativeName) const {
    if (!request_.leaveOut) return false;
    return request_.leaveOut(namePrefix +
                             platform::nativeNameToCp932(nativeName).value_or(nativeName));
  }

  // The code page 932 form of one native name component; a name without one, or with a
  // backslash character of its own (where the system allows one in a name), is noted (once,
  // by the relative path) and stands in as its native bytes so the walk goes on. A 0x5C
  // that is the second byte of a two-byte character belongs to that character.
  std::string nameOf(const std::string& nativeRelative, const std::string& nativeName) {
    const auto converted = platform::nativeNameToCp932(nativeName);
    const bool backslashAllowed = platform::nativeSeparator() != '\\';
    if (converted) {
      if (backslashAllowed && splitEntryName(*converted).size() > 1) {
        collection_.namesWithBackslash.push_back(nativeRelative);
        return nativeName;
      }
      return *converted;
    }
    if (backslashAllowed && nativeName.find('\\') != std::string::npos) {
      collection_.namesWithBackslash.push_back(nativeRelative);
    } else {
      collection_.namesWithoutCp932.push_back(nativeRelative);
    }
    return nativeName;
  }

  void addFile(const std::string& nativeRelative, const std::string& namePrefix,
               const std::string& nativeName) {
    if (isExcluded(nativeRelative)) return;
    const size_t problemsBefore = problemCount();
    std::string name = namePrefix + nameOf(nativeRelative, nativeName);
    if (problemCount() != problemsBefore) return;
    collection_.files.push_back({std::move(name), nativeRelative});
  }

  size_t problemCount() const {
    return collection_.namesWithBackslash.size() + collection_.namesWithoutCp932.size();
  }

  bool isExcluded(const std::string& nativeRelative) const {
    const std::string absolute = platform::joinPath(request_.rootFolder, nativeRelative);
    if (std::find(request_.excludedPaths.begin(), request_.excludedPaths.end(), absolute) !=
        request_.excludedPaths.end()) {
      return true;
    }
    if (excludedIdentities_.empty()) return false;
    const auto identity = platform::folderIdentity(absolute);
    return identity && std::find(excludedIdentities_.begin(), excludedIdentities_.end(),
                                 *identity) != excludedIdentities_.end();
  }

  const CollectRequest& request_;
  Collection& collection_;
  PackListener& listener_;
  std::vector<platform::FolderIdentity> openFolders_;
  std::vector<platform::FolderIdentity> excludedIdentities_;
  std::vector<platform::FolderIdentity> rootAndAncestors_;
};

}  // namespace

bool collectFiles(const CollectRequest& request, Collection& collection, PackListener& listener) {
  return Walker(request, collection, listener).walkRoot();
}

}  // namespace kupack
