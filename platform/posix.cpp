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

// ---- Extracting below a target folder --------------------------------------------------

namespace kupack::platform {
namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Why `name` in the folder `folderFd` could not be used as a folder or a file.
CreatedFile classifyRefusal(int folderFd, const std::string& name, int openError) {
  CreatedFile outcome;
  struct stat info {};
  if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      outcome.result = CreateBelowResult::ThroughLink;
      return outcome;
    }
    if (openError == ENOTDIR) {
      outcome.result = CreateBelowResult::NotAFolder;
      return outcome;
    }
  }
  outcome.result = CreateBelowResult::Failed;
  outcome.errorNumber = openError;
  return outcome;
}

}  // namespace

bool makeFolders(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    partial = path.substr(0, end);
    if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    start = end + 1;
  }
  if (!isFolder(path)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace) {
  CreatedFile outcome;
  if (levels.empty()) {
    outcome.errorNumber = EINVAL;
    return outcome;
  }
  Descriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    outcome.errorNumber = errno;
    return outcome;
  }
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    const char* name = levels[i].c_str();
    if (mkdirat(folder.get(), name, 0777) != 0 && errno != EEXIST) {
      outcome.errorNumber = errno;
      return outcome;
    }
    const int next = openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return classifyRefusal(folder.get(), levels[i], errno);
    folder.reset(next);
  }
  const std::string& fileName = levels.back();
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  flags |= replace ? 0 : O_EXCL;
  Descriptor file(openat(folder.get(), fileName.c_str(), flags, 0666));
  if (file.get() < 0) {
    const int error = errno;
    if (error == EEXIST) {
      CreatedFile refused = classifyRefusal(folder.get(), fileName, error);
      if (refused.result != CreateBelowResult::ThroughLink) {
        refused.result = CreateBelowResult::Exists;
        refused.errorNumber = 0;
      }
      return refused;
    }
    if (error == ELOOP) return classifyRefusal(folder.get(), fileName, error);
    outcome.errorNumber = error;
    return outcome;
  }
  // Only a plain file is ever written: a pipe or device in the file's place is refused
  // (O_NONBLOCK above keeps the open itself from waiting on a pipe).
  struct stat info {};
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    outcome.errorNumber = EEXIST;
    return outcome;
  }
  const int fileFlags = fcntl(file.get(), F_GETFL);
  if (fileFlags < 0 || fcntl(file.get(), F_SETFL, fileFlags & ~O_NONBLOCK) != 0 ||
      (replace && ftruncate(file.get(), 0) != 0)) {
    outcome.errorNumber = errno;
    return outcome;
  }
  std::FILE* stream = fdopen(file.get(), "wb");
  if (stream == nullptr) {
    outcome.errorNumber = errno;
    return outcome;
  }
  file.release();
  outcome.result = CreateBelowResult::Created;
  outcome.stream = stream;
  return outcome;
}

}  // namespace kupack::platform
