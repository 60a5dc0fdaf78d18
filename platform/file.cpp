#include "platform/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/held_file.h"
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

  bool stillNamedBy(const std::string& path) const override { return held_.stillNamedBy(path); }
  std::int64_t modifiedUnixSeconds() const override { return held_.modifiedUnixSeconds(); }

  const HeldFile& held() const { return held_; }

 private:
  const std::string path_;
  HeldFile held_;
};

// A new file written through a stdio stream without a buffer of its own: the bytes gather in
// a buffer here that is written out whenever it reaches a block boundary of the file, so
// that after the first block every write is one whole, aligned block.
class SystemWritableFile final : public WritableFile {
 public:
  SystemWritableFile(std::string path, std::FILE* stream)
      : path_(std::move(path)), stream_(stream) {
    if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IONBF, 0);
  }
  ~SystemWritableFile() override { static_cast<void>(close()); }

  const std::string& path() const override { return path_; }

  Status append(std::span<const std::uint8_t> bytes) override {
    if (stream_ == nullptr) return failed();
    while (!bytes.empty()) {
      // Whole blocks at a block boundary go out as they are, without a copy.
      if (buffered_ == 0 && start_ % BLOCK == 0 && bytes.size() >= BLOCK) {
        const std::size_t whole = bytes.size() - bytes.size() % BLOCK;
        if (!writeOut(bytes.first(whole))) return failed();
        start_ += whole;
        bytes = bytes.subspan(whole);
        continue;
      }
      const std::span<std::uint8_t> room = freeRoom();
      const std::size_t size = std::min(room.size(), bytes.size());
      std::memcpy(room.data(), bytes.data(), size);
      bytes = bytes.subspan(size);
      if (Status kept = keep(size); !kept) return kept;
    }
    return Status::ok();
  }

  Status seek(std::uint64_t position) override {
    errno = 0;
    if (Status flushed = flush(); !flushed) return flushed;
    if (stream_ == nullptr || position > static_cast<std::uint64_t>(LONG_MAX) ||
        std::fseek(stream_, static_cast<long>(position), SEEK_SET) != 0)
      return failed();
    start_ = position;
    return Status::ok();
  }

  Status appendCopyOf(const ReadableFile& source, std::uint64_t position,
                      std::uint64_t length) override {
    const auto* system = dynamic_cast<const SystemReadableFile*>(&source);
    if (system == nullptr) return appendFrom(source, position, length);
    if (Status flushed = flush(); !flushed) return flushed;
    if (stream_ == nullptr) return failed();
    errno = 0;
    switch (system->held().copyTo(position, length, stream_)) {
      case HeldFile::CopyResult::Copied:
        start_ += length;
        return Status::ok();
      case HeldFile::CopyResult::ReadFailed:
        return readFailure(source);
      case HeldFile::CopyResult::WriteFailed:
        break;
    }
    return failed();
  }

  Status appendFrom(const ReadableFile& source, std::uint64_t position,
                    std::uint64_t length) override {
    const auto readInto = [&](std::uint64_t at, std::span<std::uint8_t> buffer) {
      return source.readAt(at, buffer);
    };
    const auto copyFailed = [&] { return readFailure(source); };
    const auto* system = dynamic_cast<const SystemReadableFile*>(&source);
    return appendCopied(system != nullptr ? &system->held() : nullptr, position, length, readInto,
                        copyFailed);
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
    const Status flushed = flush();
    std::FILE* stream = stream_;
    stream_ = nullptr;
    errno = 0;
    if (std::fclose(stream) == 0) return flushed;
    return fileFailure(Status::Code::CannotWrite, path_, lastErrorOr(EIO));
  }

 private:
  // Writes are whole blocks of this size at block boundaries of the file, but for the first
  // after a seek and the last. (Larger blocks let the system cache the file in larger pieces
  // whose making now and then takes ten times as long: 3 in 10 runs of 1 MiB writes, none of
  // 256 KiB ones, which cost a quarter of 4 KiB ones.)
  static constexpr std::size_t BLOCK = std::size_t{256} << 10;
  // Ranges the system copies itself: page-aligned in both files, and not small.
  static constexpr std::uint64_t PAGE = 4096;
  static constexpr std::uint64_t SYSTEM_COPY_LEAST = std::uint64_t{64} << 10;

  Status failed() const { return fileFailure(Status::Code::CannotWrite, path_, lastErrorOr(EIO)); }

  // Why the system's copy from `source` failed on the reading side: a copy that ends early is
  // a file that has become shorter, unless it is unchanged.
  static Status readFailure(const ReadableFile& source) {
    const int error = lastErrorOr(EIO);
    if (!source.unchangedSinceOpen())
      return Status::file(Status::Code::SourceChanged, source.path());
    return fileFailure(Status::Code::CannotRead, source.path(), error);
  }

  // The free part of the buffer: up to the next block boundary of the file.
  std::span<std::uint8_t> freeRoom() {
    if (buffer_ == nullptr) buffer_ = std::make_unique<std::uint8_t[]>(BLOCK);
    const auto end = static_cast<std::size_t>(BLOCK - start_ % BLOCK);
    return {buffer_.get() + buffered_, end - buffered_};
  }

  // Counts `size` bytes just put into freeRoom() and writes the buffer out once it is full.
  Status keep(std::size_t size) {
    buffered_ += size;
    if (start_ % BLOCK + buffered_ < BLOCK) return Status::ok();
    return flush();
  }

  Status flush() {
    if (buffered_ == 0) return Status::ok();
    if (stream_ == nullptr || !writeOut({buffer_.get(), buffered_})) return failed();
    start_ += buffered_;
    buffered_ = 0;
    return Status::ok();
  }

  bool writeOut(std::span<const std::uint8_t> bytes) {
    errno = 0;
    return std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size();
  }

  // Appends `length` bytes from `position` on, read by `readInto(at, buffer)` straight into
  // the buffer. With `held` given, whole pages that line up in both files are copied by the
  // system instead; `copyFailed()` tells why such a copy failed on the reading side.
  template <class ReadInto, class CopyFailed>
  Status appendCopied(const HeldFile* held, std::uint64_t position, std::uint64_t length,
                      ReadInto readInto, CopyFailed copyFailed) {
    if (stream_ == nullptr) return failed();
    const std::uint64_t at = start_ + buffered_;
    if (held == nullptr || length < SYSTEM_COPY_LEAST || at % PAGE != position % PAGE)
      return appendRead(position, length, readInto);
    const std::uint64_t head = (PAGE - at % PAGE) % PAGE;
    const std::uint64_t pages = (length - head) / PAGE * PAGE;
    if (Status read = appendRead(position, head, readInto); !read) return read;
    if (Status flushed = flush(); !flushed) return flushed;
    errno = 0;
    switch (held->copyTo(position + head, pages, stream_)) {
      case HeldFile::CopyResult::Copied:
        break;
      case HeldFile::CopyResult::ReadFailed:
        return copyFailed();
      case HeldFile::CopyResult::WriteFailed:
        return failed();
    }
    start_ += pages;
    return appendRead(position + head + pages, length - head - pages, readInto);
  }

  template <class ReadInto>
  Status appendRead(std::uint64_t position, std::uint64_t length, ReadInto readInto) {
    while (length > 0) {
      const std::span<std::uint8_t> room = freeRoom();
      const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(room.size(), length));
      if (Status read = readInto(position, room.first(size)); !read) return read;
      if (Status kept = keep(size); !kept) return kept;
      position += size;
      length -= size;
    }
    return Status::ok();
  }

  const std::string path_;
  std::FILE* stream_;
  std::unique_ptr<std::uint8_t[]> buffer_;  // made at the first write
  std::uint64_t start_ = 0;                 // where in the file buffer_[0] goes
  std::size_t buffered_ = 0;
};

// A file without a name, read and written at positions.
class SystemScratchFile final : public ScratchFile {
 public:
  explicit SystemScratchFile(HeldFile held) : held_(std::move(held)) {}

  Status writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override {
    errno = 0;
    if (held_.writeAt(position, bytes)) return Status::ok();
    return fileFailure(Status::Code::CannotWrite, {}, lastErrorOr(EIO));
  }

  Status readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const override {
    errno = 0;
    if (held_.readAt(position, buffer)) return Status::ok();
    return fileFailure(Status::Code::CannotRead, {}, lastErrorOr(EIO));
  }

 private:
  HeldFile held_;
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

  Status createScratch(std::unique_ptr<ScratchFile>& file) override {
    HeldFile held;
    errno = 0;
    if (!held.openUnnamedTemporary()) return fileFailure(Status::Code::CannotCreate, {}, errno);
    file = std::make_unique<SystemScratchFile>(std::move(held));
    return Status::ok();
  }

  Status readList(const std::string& path, std::uint64_t limit,
                  std::vector<std::uint8_t>& bytes) override {
    // A pipe the user named is read to its end, never opened as a regular file first.
    if (namesPipe(path)) return readPipeToEnd(path, limit, bytes);
    return FileSystem::readList(path, limit, bytes);
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

Status FileSystem::readList(const std::string& path, std::uint64_t limit,
                            std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  std::unique_ptr<ReadableFile> file;
  if (Status opened = openReadable(path, file); !opened) return opened;
  if (file->size() > limit) return Status::file(Status::Code::FileTooLarge, path);
  bytes.resize(static_cast<std::size_t>(file->size()));
  return file->readAt(0, bytes);
}

FileSystem& realFileSystem() {
  static SystemFileSystem files;
  return files;
}

Status fileFailure(Status::Code code, const std::string& path, int errorNumber) {
  return Status::file(code, path, errorNumber != 0 ? errorNumber : EIO);
}

}  // namespace kupack::platform
