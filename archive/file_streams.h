// The file ends of the coders: a ByteSource reading and a ByteSink writing the open stream of
// a FileHolder owned by the caller. The source gives exactly the length the file had when it
// was opened and fails when the file turns out shorter or longer. Each keeps the errno of its
// first failure for the message that names the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/file_holder.h"
#include "codec/byte_stream.h"
#include "common/status.h"

namespace kupack {

class FileSource final : public ByteSource {
 public:
  explicit FileSource(FileHolder& file) : file_(file) {}
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override;
  int error() const { return error_; }
  // Why read() failed, naming the file: SourceChanged or CannotRead.
  Status failure() const;

 private:
  FileHolder& file_;
  int error_ = 0;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(FileHolder& file) : file_(file) {}
  bool put(std::span<const std::uint8_t> bytes) override;
  int error() const { return error_; }

 private:
  FileHolder& file_;
  int error_ = 0;
};

}  // namespace kupack
