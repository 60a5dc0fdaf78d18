// The system calls behind staged files (platform/file.h's StagedFile): the folder a staged
// file is made in, reached level by level from a root without following a link and held
// until the file is placed or removed. staged_file.cpp builds staged files on it once for
// every system; staged_files_posix.cpp and staged_files_win32.cpp implement it. Only
// platform/ includes it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"

namespace kupack::platform {

// What has a name in a folder, looked at without following a link.
enum class Occupant { Nothing, File, Link, Folder, Unknown };

class StagedFolder {
 public:
  struct Native;  // the system's handles and names

  StagedFolder();
  ~StagedFolder();
  StagedFolder(StagedFolder&&) noexcept;
  StagedFolder& operator=(StagedFolder&&) noexcept;

  // Holds the existing folder `root`, for a file to be reached from it through `levels`
  // (Windows refuses here a level it would not take literally). False (errno set) otherwise.
  bool open(const std::string& root, const std::vector<std::string>& levels);

  // Moves one level down, into the folder `name` of the one held, made when missing and
  // entered without following a link; the levels above stay held (Windows) so that none
  // can be swapped for a link meanwhile. Created when entered, otherwise the refusal, or
  // Failed with `error` set.
  CreateBelowResult enter(const std::string& name, int& error);

  // What has `name` in the folder held; Unknown with `error` set when it cannot be told.
  Occupant occupantOf(const std::string& name, int& error) const;

  // Creates the new file `name` in the folder held, exclusively and never through a link,
  // open for binary writing, and registers it for removal on an early end (POSIX) in the
  // same step. nullptr (errno set: EEXIST when the name is taken) otherwise.
  std::FILE* createExclusive(const std::string& name);

  // Renames `from` to `to` in the folder held: with `replace` whatever has the name is
  // replaced as a name; without, EEXIST when the name is taken. False (errno set) otherwise.
  // The early end forgets `from` once renamed.
  bool rename(const std::string& from, const std::string& to, bool replace);

  // Removes `name` from the folder held, and the early end forgets it. Keeps errno.
  void remove(const std::string& name);

 private:
  std::unique_ptr<Native> native_;
};

// The system's staged files (FileSystem::createStaged of realFileSystem()).
StagedCreation createStagedFile(const std::string& root, const std::vector<std::string>& levels,
                                bool replace);

}  // namespace kupack::platform
