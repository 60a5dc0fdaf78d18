// POSIX implementation of the platform layer (first cut: enough for the codecs and tests;
// the dialogs' stand-ins, ordered listing and name conversion follow).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace kupack::platform {

char nativeSeparator() { return '/'; }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::optional<std::string> currentDirectory() {
  std::string buffer(4096, '\0');
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return std::nullopt;
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

bool changeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string absolutePath(const std::string& path, const std::string& base) {
  return path.empty() || path[0] != '/' ? joinPath(base, path) : path;
}

std::optional<std::string> nativeNameToCp932(std::string_view native) { return std::string(native); }
std::optional<std::string> cp932ToNativeName(std::string_view cp932) { return std::string(cp932); }
std::string nativeToConsoleText(std::string_view native) { return std::string(native); }

void writeConsole(std::string_view cp932) {
  std::fwrite(cp932.data(), 1, cp932.size(), stdout);
  std::fflush(stdout);
}

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  entries.clear();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    struct stat info {};
    const std::string name = entry->d_name;
    EntryKind kind = EntryKind::Other;
    if (stat(joinPath(path, name).c_str(), &info) == 0) {
      kind = S_ISDIR(info.st_mode) ? EntryKind::Folder : S_ISREG(info.st_mode) ? EntryKind::File : EntryKind::Other;
    }
    entries.push_back({name, kind});
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

std::optional<FolderIdentity> folderIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return FolderIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

bool isFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  const int rc = fstat(fd, &info);
  const int saved = errno;
  ::close(fd);
  if (rc != 0) {
    errno = saved;
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

bool replaceFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

FolderChoice chooseFolder(const char*, const std::string&) { return {}; }

FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder) {
  FolderChoice choice;
  choice.path = absolutePath(argument, startFolder);
  choice.result = isFolder(choice.path) ? FolderChoiceResult::Chosen : FolderChoiceResult::NoFileSystemPath;
  return choice;
}

std::optional<std::string> chooseSaveName(const char*, const char*, const std::string&, const std::string&) {
  return std::nullopt;
}

void waitForKey() {}

}  // namespace kupack::platform
