// The file ends of the coders: a ByteSource reading an open file in order for exactly the
// length it had when it was opened, and ByteSinks appending to a file being written or a
// staged file. Each keeps its first failure, naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/byte_stream.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

// Reads `file` from its start to the length it had when opened; a file that has become
// shorter fails the read (SourceChanged).
class FileSource final : public ByteSource {
 public:
  explicit FileSource(const platform::ReadableFile& file) : file_(file) {}
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override;
  // Why read() failed, naming the file: SourceChanged or CannotRead.
  const Status& failure() const { return failure_; }

 private:
  const platform::ReadableFile& file_;
  std::uint64_t position_ = 0;
  Status failure_ = Status::ok();
};

class WritableFileSink final : public ByteSink {
 public:
  explicit WritableFileSink(platform::WritableFile& file) : file_(file) {}
  bool put(std::span<const std::uint8_t> bytes) override;
  // Why put() failed (CannotWrite naming the file); Ok while it has not.
  const Status& failure() const { return failure_; }

 private:
  platform::WritableFile& file_;
  Status failure_ = Status::ok();
};

// Appends to a staged file (an extracted file being written).
class StagedFileSink final : public ByteSink {
 public:
  explicit StagedFileSink(platform::StagedFile& file) : file_(file) {}
  bool put(std::span<const std::uint8_t> bytes) override;
  // Why put() failed (CannotWrite naming the file); Ok while it has not.
  const Status& failure() const { return failure_; }

 private:
  platform::StagedFile& file_;
  Status failure_ = Status::ok();
};

}  // namespace kupack
