// The file collector: walks the chosen folder depth-first, in the order the platform lists
// each folder, and gathers every file below it as a relative archive name (code page 932,
// '\' between folder levels) together with the native path that opens it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/pack_events.h"

namespace kupack {

struct CollectedFile {
  std::string name;        // relative name in code page 932, letter case as found
  std::string nativePath;  // relative native path below the root folder
};

struct CollectRequest {
  std::string rootFolder;   // absolute native path of the chosen folder
  std::string programName;  // argument 0: a file of exactly this name in the root is left out
  // Absolute native paths of files that are never collected wherever they lie in the tree:
  // the archive being written, its temporary name, the writer's temporary files.
  std::vector<std::string> excludedPaths;
  // When set, the files and folders (by the relative name an archive would record: code page
  // 932, '\' between levels, no trailing '\') that the user leaves out (--exclude). A folder
  // left out is never walked, a file left out never opened.
  std::function<bool(std::string_view name)> leaveOut = nullptr;
};

struct Collection {
  std::vector<CollectedFile> files;
  // Native relative paths of files whose names cannot be archive names, by reason.
  std::vector<std::string> namesWithoutCp932;
  std::vector<std::string> namesWithBackslash;
  // Subfolders that could not be listed (no right to, a path too long, ...): absolute native
  // path and the errno of the failure. A run must not go on without their files.
  struct UnreadableFolder {
    std::string path;
    int errorNumber = 0;
  };
  std::vector<UnreadableFolder> unreadableFolders;
  // Links that cannot be followed (dangling, a loop of links): relative native path and
  // the errno of the failure. A run must not go on without what they stood for.
  std::vector<UnreadableFolder> unfollowableLinks;
  // Relative native paths of what is neither file nor folder (pipes, sockets, devices);
  // left out.
  std::vector<std::string> skippedSpecialFiles;
};

// Walks `request.rootFolder`, reporting each subfolder as it is entered and left. A link is
// followed and reported (LinkFollowed), unless it leads to the root folder or one of its
// ancestors (LinkToAncestor: never entered, so nothing outside the root is packed that
// way); a subfolder already being walked higher up (a link leading back) is reported as a
// cycle and not entered again; a subfolder that cannot be listed is noted in
// unreadableFolders, a link that cannot be followed in unfollowableLinks. False when the
// root itself cannot be read (errno set); nothing is reported then.
bool collectFiles(const CollectRequest& request, Collection& collection, PackListener& listener);

}  // namespace kupack
