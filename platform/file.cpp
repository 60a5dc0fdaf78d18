#include "platform/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/platform.h"
#include "platform/staged_folder.h"

namespace kupack::platform {
namespace {

int lastErrorOr(int fallback) { return errno != 0 ? errno : fallback; }

// A file held open by the platform (HeldFile), read by position and judged by its handle.
class SystemReadableFile final : public ReadableFile {
 public:
  SystemReadableFile(std::string path, HeldFile held)
      : path_(std::move(path)), held_(std::move(held)) {}

  const std::string& path() const override { return path_; }
  std::uint64_t size() const override { return held_.size(); }

  Status readSome(std::uint64_t position, std::span<std::uint8_t> buffer,
                  std::size_t& got) const override {
    got = 0;
    // Never past the length recorded at open: what lies beyond is not this file's content.
    if (position >= held_.size()) return Status::ok();
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), held_.size() - position));
    errno = 0;
    if (held_.readAt(position, buffer.first(wanted))) {
      got = wanted;
      return Status::ok();
    }
    const int error = lastErrorOr(EIO);
    // A read that ends early is a file that has become shorter: nothing there any more.
    if (!held_.unchangedWhileHeld()) return Status::ok();
    return fileFailure(Status::Code::CannotRead, path_, error);
  }

  void willRead(std::uint64_t position, std::uint64_t length) const override {
    held_.willRead(position, length);
  }

  bool unchangedSinceOpen() const override {
    if (!held_.unchangedWhileHeld()) return false;
    // Nothing may follow the recorded length either: some files (/proc) report a size that
    // is not their content.
    std::uint8_t beyond = 0;
    return !held_.readAt(held_.size(), {&beyond, 1});
  }

 private:
  const std::string path_;
  HeldFile held_;
};

// A new file written through a stdio stream.
class SystemWritableFile final : public WritableFile {
 public:
  SystemWritableFile(std::string path, std::FILE* stream)
      : path_(std::move(path)), stream_(stream) {}
  ~SystemWritableFile() override { static_cast<void>(close()); }

  const std::string& path() const override { return path_; }

  Status append(std::span<const std::uint8_t> bytes) override {
    if (bytes.empty()) return Status::ok();
    errno = 0;
    if (stream_ != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size())
      return Status::ok();
    return failed();
  }

  Status seek(std::uint64_t position) override {
    errno = 0;
    if (stream_ == nullptr || position > static_cast<std::uint64_t>(LONG_MAX) ||
        std::fflush(stream_) != 0 || std::fseek(stream_, static_cast<long>(position), SEEK_SET) != 0)
      return failed();
    return Status::ok();
  }

  Status appendFrom(const HeldFile& source, const std::string& sourcePath, std::uint64_t position,
                    std::uint64_t length) override {
    if (stream_ == nullptr) return failed();
    errno = 0;
    switch (source.copyTo(position, length, stream_)) {
      case HeldFile::CopyResult::Copied:
        return Status::ok();
      case HeldFile::CopyResult::ReadFailed:
        return fileFailure(Status::Code::CannotRead, sourcePath, lastErrorOr(EIO));
      case HeldFile::CopyResult::WriteFailed:
        break;
    }
    return failed();
  }

  Status keepAttributesOf(const std::string& replacedPath) override {
    errno = 0;
    if (stream_ != nullptr && keepReplacedFileAttributes(stream_, replacedPath))
      return Status::ok();
    return failed();
  }

  void startWriteback(std::uint64_t from, std::uint64_t to) override {
    if (stream_ != nullptr) platform::startWriteback(stream_, from, to);
  }

  Status close() override {
    if (stream_ == nullptr) return Status::ok();
    std::FILE* stream = stream_;
    stream_ = nullptr;
    errno = 0;
    if (std::fclose(stream) == 0) return Status::ok();
    return fileFailure(Status::Code::CannotWrite, path_, lastErrorOr(EIO));
  }

 private:
  Status failed() const { return fileFailure(Status::Code::CannotWrite, path_, lastErrorOr(EIO)); }

  const std::string path_;
  std::FILE* stream_;
};

class SystemFileSystem final : public FileSystem {
 public:
  Status openReadable(const std::string& path, std::unique_ptr<ReadableFile>& file) override {
    HeldFile held;
    errno = 0;
    if (!held.openForReading(path)) return fileFailure(Status::Code::CannotOpen, path, errno);
    file = std::make_unique<SystemReadableFile>(path, std::move(held));
    return Status::ok();
  }

  Status createUnique(const std::string& stem, const std::string& suffix,
                      RemovedOnEarlyEnd* removal, std::unique_ptr<WritableFile>& file) override {
    std::string created;
    errno = 0;
    std::FILE* stream = createUniqueFile(stem, suffix, created, removal);
    if (stream == nullptr) return fileFailure(Status::Code::CannotCreate, stem + suffix, errno);
    file = std::make_unique<SystemWritableFile>(created, stream);
    return Status::ok();
  }

  StagedCreation createStaged(const std::string& root, const std::vector<std::string>& levels,
                              bool replace) override {
    return createStagedFile(root, levels, replace);
  }
};

}  // namespace

Status ReadableFile::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const {
  while (!buffer.empty()) {
    std::size_t got = 0;
    if (Status read = readSome(position, buffer, got); !read) return read;
    if (got == 0) return Status::file(Status::Code::SourceChanged, path());
    got = std::min(got, buffer.size());
    position += got;
    buffer = buffer.subspan(got);
  }
  return Status::ok();
}

Status ReadableFile::checkUnchanged() const {
  if (unchangedSinceOpen()) return Status::ok();
  return Status::file(Status::Code::SourceChanged, path());
}

FileSystem& realFileSystem() {
  static SystemFileSystem files;
  return files;
}

Status fileFailure(Status::Code code, const std::string& path, int errorNumber) {
  return Status::file(code, path, errorNumber != 0 ? errorNumber : EIO);
}

}  // namespace kupack::platform
