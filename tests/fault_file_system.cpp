#include "tests/fault_file_system.h"

#include <algorithm>

namespace kupack::test {

template <class Write>
Status FaultFileSystem::writeWithFaults(const std::string& path,
                                        std::span<const std::uint8_t> bytes, Write write) {
  int error = 0;
  const std::size_t allowed = beforeWriting(bytes.size(), error);
  if (Status put = write(bytes.first(allowed)); !put) return put;
  if (error != 0) return platform::fileFailure(Status::Code::CannotWrite, path, error);
  return Status::ok();
}

Status FaultFileSystem::beforeCopying(const std::string& path, std::uint64_t length) {
  int error = 0;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, SIZE_MAX));
  if (beforeWriting(wanted, error) < wanted || error != 0)
    return platform::fileFailure(Status::Code::CannotWrite, path, error);
  return Status::ok();
}

class FaultFileSystem::Readable final : public platform::ReadableFile {
 public:
  Readable(FaultFileSystem& owner, std::unique_ptr<platform::ReadableFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}
  ~Readable() override {
    const std::lock_guard<std::mutex> lock(owner_.mutex_);
    --owner_.openNow_;
  }

  const std::string& path() const override { return inner_->path(); }
  std::uint64_t size() const override { return inner_->size(); }
  bool unchangedSinceOpen() const override { return inner_->unchangedSinceOpen(); }
  bool stillNamedBy(const std::string& path) const override { return inner_->stillNamedBy(path); }
  std::int64_t modifiedUnixSeconds() const override { return inner_->modifiedUnixSeconds(); }

  Status readSome(std::uint64_t position, std::span<std::uint8_t> buffer,
                  std::size_t& got) const override {
    got = 0;
    const ReadFate fate = owner_.beforeReading(path(), buffer.size());
    if (fate.error != 0) return platform::fileFailure(Status::Code::CannotRead, path(), fate.error);
    return inner_->readSome(position, buffer.first(std::min(buffer.size(), fate.most)), got);
  }

 private:
  FaultFileSystem& owner_;
  std::unique_ptr<platform::ReadableFile> inner_;
};

class FaultFileSystem::Writable final : public platform::WritableFile {
 public:
  Writable(FaultFileSystem& owner, std::unique_ptr<platform::WritableFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}

  const std::string& path() const override { return inner_->path(); }

  Status append(std::span<const std::uint8_t> bytes) override {
    return owner_.writeWithFaults(path(), bytes, [this](auto allowed) {
      return inner_->append(allowed);
    });
  }

  Status appendCopyOf(const platform::ReadableFile& source, std::uint64_t position,
                      std::uint64_t length) override {
    if (Status charged = owner_.beforeCopying(path(), length); !charged) return charged;
    return inner_->appendCopyOf(source, position, length);
  }

  // One write of `length` bytes; the reads of `source` go through its own faults.
  Status appendFrom(const platform::ReadableFile& source, std::uint64_t position,
                    std::uint64_t length) override {
    if (Status charged = owner_.beforeCopying(path(), length); !charged) return charged;
    return inner_->appendFrom(source, position, length);
  }

  Status seek(std::uint64_t position) override { return inner_->seek(position); }
  Status keepAttributesOf(const std::string& replacedPath) override {
    return inner_->keepAttributesOf(replacedPath);
  }
  void startWriteback(std::uint64_t from, std::uint64_t to) override {
    inner_->startWriteback(from, to);
  }
  Status close() override { return inner_->close(); }

 private:
  FaultFileSystem& owner_;
  std::unique_ptr<platform::WritableFile> inner_;
};

class FaultFileSystem::Scratch final : public platform::ScratchFile {
 public:
  Scratch(FaultFileSystem& owner, std::unique_ptr<platform::ScratchFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}

  Status writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) override {
    return owner_.writeWithFaults({}, bytes, [this, position](auto allowed) {
      return inner_->writeAt(position, allowed);
    });
  }

  Status readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const override {
    const ReadFate fate = owner_.beforeReading({}, buffer.size());
    if (fate.error != 0) return platform::fileFailure(Status::Code::CannotRead, {}, fate.error);
    return inner_->readAt(position, buffer);
  }

 private:
  FaultFileSystem& owner_;
  std::unique_ptr<platform::ScratchFile> inner_;
};

class FaultFileSystem::Staged final : public platform::StagedFile {
 public:
  Staged(FaultFileSystem& owner, std::unique_ptr<platform::StagedFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}

  const std::string& path() const override { return inner_->path(); }

  Status append(std::span<const std::uint8_t> bytes) override {
    return owner_.writeWithFaults(path(), bytes, [this](auto allowed) {
      return inner_->append(allowed);
    });
  }

  Status close() override { return inner_->close(); }
  Status place() override {
    owner_.beforePlacing(path());
    return inner_->place();
  }
  void discard() override { inner_->discard(); }

 private:
  FaultFileSystem& owner_;
  std::unique_ptr<platform::StagedFile> inner_;
};

void FaultFileSystem::failRead(std::size_t n, int error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  failingRead_ = n;
  readError_ = error;
}

void FaultFileSystem::failWrite(std::size_t n, int error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  failingWrite_ = n;
  writeError_ = error;
}

void FaultFileSystem::shortReads(std::size_t most) {
  const std::lock_guard<std::mutex> lock(mutex_);
  shortest_ = std::max<std::size_t>(1, most);
}

void FaultFileSystem::fillDiskAfter(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  diskRoom_ = bytes;
}

void FaultFileSystem::beforeRead(const std::string& name, ReadHook hook) {
  const std::lock_guard<std::mutex> lock(mutex_);
  hookedName_ = name;
  hook_ = std::move(hook);
}

std::size_t FaultFileSystem::peakOpen() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return peakOpen_;
}

std::size_t FaultFileSystem::reads() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

std::size_t FaultFileSystem::opensOf(const std::string& path) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = opens_.find(path);
  return found == opens_.end() ? 0 : found->second;
}

std::map<std::string, std::size_t> FaultFileSystem::opens() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

Status FaultFileSystem::openReadable(const std::string& path,
                                     std::unique_ptr<platform::ReadableFile>& file) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++opens_[path];
  }
  std::unique_ptr<platform::ReadableFile> inner;
  if (Status opened = inner_.openReadable(path, inner); !opened) return opened;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    peakOpen_ = std::max(peakOpen_, ++openNow_);
  }
  file = std::make_unique<Readable>(*this, std::move(inner));
  return Status::ok();
}

Status FaultFileSystem::createUnique(const std::string& stem, const std::string& suffix,
                                     platform::RemovedOnEarlyEnd* removal,
                                     std::unique_ptr<platform::WritableFile>& file) {
  std::unique_ptr<platform::WritableFile> inner;
  if (Status created = inner_.createUnique(stem, suffix, removal, inner); !created) return created;
  file = std::make_unique<Writable>(*this, std::move(inner));
  return Status::ok();
}

Status FaultFileSystem::createScratch(std::unique_ptr<platform::ScratchFile>& file) {
  std::unique_ptr<platform::ScratchFile> inner;
  if (Status created = inner_.createScratch(inner); !created) return created;
  file = std::make_unique<Scratch>(*this, std::move(inner));
  return Status::ok();
}

void FaultFileSystem::beforePlace(std::function<void(const std::string& path)> hook) {
  const std::lock_guard<std::mutex> lock(mutex_);
  placeHook_ = std::move(hook);
}

void FaultFileSystem::beforePlacing(const std::string& path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (placeHook_) placeHook_(path);
}

platform::StagedCreation FaultFileSystem::createStaged(const std::string& root,
                                                       const std::vector<std::string>& levels,
                                                       bool replace) {
  platform::StagedCreation created = inner_.createStaged(root, levels, replace);
  if (created.file) created.file = std::make_unique<Staged>(*this, std::move(created.file));
  return created;
}

FaultFileSystem::ReadFate FaultFileSystem::beforeReading(const std::string& path,
                                                         std::size_t wanted) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  const bool hooked = hook_ && path.size() >= hookedName_.size() &&
                      path.compare(path.size() - hookedName_.size(), hookedName_.size(),
                                   hookedName_) == 0;
  if (hooked) hook_(path, readsOf_[path]++);
  if (reads_ == failingRead_) return {0, readError_};
  return {shortest_ != 0 ? std::min(wanted, shortest_) : wanted, 0};
}

std::size_t FaultFileSystem::beforeWriting(std::size_t wanted, int& error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++writes_;
  error = 0;
  if (writes_ == failingWrite_) {
    error = writeError_;
    return 0;
  }
  if (wanted > diskRoom_) {
    error = ENOSPC;
    const auto fits = static_cast<std::size_t>(diskRoom_);
    diskRoom_ = 0;
    return fits;
  }
  diskRoom_ -= wanted;
  return wanted;
}

}  // namespace kupack::test
