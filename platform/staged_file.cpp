// Staged files for every system: the temporary name, the walk down to the file's folder,
// what an existing name means, and writing, placing and removing the file. The system
// calls are StagedFolder's (staged_files_posix.cpp, staged_files_win32.cpp).
#include <cerrno>
#include <cstdint>
#include <functional>
#include <utility>

#include "platform/paths.h"
#include "platform/staged_folder.h"
#include "platform/unique_names.h"

namespace kupack::platform {
namespace {

int lastErrorOr(int fallback) { return errno != 0 ? errno : fallback; }

// A name no other run picks: ".kupack-", 16 random hexadecimal digits and ".part". Two runs
// that pick the same one anyway are kept apart by the exclusive creation.
std::string temporaryFileName() {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string name = ".kupack-";
  std::uint64_t bits = randomNameBits();
  for (int i = 0; i < 16; ++i, bits >>= 4) name += DIGITS[bits & 0xF];
  return name + ".part";
}

class SystemStagedFile final : public StagedFile {
 public:
  // Nothing is made yet: begin() makes the temporary file.
  SystemStagedFile(StagedFolder folder, std::string name, std::string path, bool replace)
      : folder_(std::move(folder)),
        name_(std::move(name)),
        path_(std::move(path)),
        replace_(replace) {}
  ~SystemStagedFile() override { discard(); }
  SystemStagedFile(const SystemStagedFile&) = delete;
  SystemStagedFile& operator=(const SystemStagedFile&) = delete;

  // Makes the temporary file under a new name. False (errno set) when none can be made.
  bool begin() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string temporaryName = temporaryFileName();
      errno = 0;
      stream_ = folder_.createExclusive(temporaryName);
      if (stream_ != nullptr) {
        temporaryName_ = std::move(temporaryName);
        finished_ = false;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
  }

  const std::string& path() const override { return path_; }

  Status append(std::span<const std::uint8_t> bytes) override {
    if (bytes.empty()) return Status::ok();
    errno = 0;
    if (stream_ != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size())
      return Status::ok();
    return writeFailure(lastErrorOr(EIO));
  }

  Status close() override {
    if (stream_ == nullptr) return Status::ok();
    errno = 0;
    if (std::fclose(std::exchange(stream_, nullptr)) == 0) return Status::ok();
    return writeFailure(lastErrorOr(EIO));
  }

  Status place() override {
    if (finished_) return writeFailure(EBADF);
    Status placed = close();
    errno = 0;
    if (placed && !folder_.rename(temporaryName_, name_, replace_))
      placed = writeFailure(lastErrorOr(EIO));
    if (!placed) {
      folder_.remove(temporaryName_);
    }
    finish();
    return placed;
  }

  void discard() override {
    if (finished_) return;
    const int error = errno;
    if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
    folder_.remove(temporaryName_);
    finish();
    errno = error;
  }

 private:
  Status writeFailure(int error) const {
    return fileFailure(Status::Code::CannotWrite, path_, error);
  }

  // Nothing is left to remove: the folders held are let go.
  void finish() {
    finished_ = true;
    folder_ = StagedFolder();
  }

  StagedFolder folder_;
  std::string temporaryName_;
  const std::string name_;
  const std::string path_;
  const bool replace_;
  std::FILE* stream_ = nullptr;
  bool finished_ = true;  // until begin(): nothing to remove
};

StagedCreation outcome(CreateBelowResult result) {
  StagedCreation created;
  created.result = result;
  return created;
}

StagedCreation failure(const std::string& path, int error) {
  StagedCreation created;
  created.failure = fileFailure(Status::Code::CannotCreate, path, error);
  return created;
}

}  // namespace

StagedCreation createStagedFile(const std::string& root, const std::vector<std::string>& levels,
                                bool replace) {
  std::string path = root;
  for (const std::string& level : levels) path = joinPath(path, level);
  if (levels.empty()) return failure(path, EINVAL);
  StagedFolder folder;
  errno = 0;
  if (!folder.open(root, levels)) return failure(path, lastErrorOr(EIO));
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    int error = 0;
    const CreateBelowResult entered = folder.enter(levels[i], error);
    if (entered == CreateBelowResult::Failed) return failure(path, error);
    if (entered != CreateBelowResult::Created) return outcome(entered);
  }
  const std::string& name = levels.back();
  int error = 0;
  switch (folder.occupantOf(name, error)) {
    case Occupant::Nothing:
      break;
    case Occupant::Folder:
      return failure(path, EISDIR);
    case Occupant::Unknown:
      return failure(path, error);
    case Occupant::File:
      if (!replace) return outcome(CreateBelowResult::Exists);
      break;
    case Occupant::Link:
      if (!replace) return outcome(CreateBelowResult::ThroughLink);
      break;
  }
  // The temporary file is new: made exclusively, so no link or other file is ever opened.
  auto file = std::make_unique<SystemStagedFile>(std::move(folder), name, path, replace);
  if (!file->begin()) return failure(path, lastErrorOr(EIO));
  StagedCreation created = outcome(CreateBelowResult::Created);
  created.file = std::move(file);
  return created;
}

}  // namespace kupack::platform
