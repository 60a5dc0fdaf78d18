// The file ends of the coders: a ByteSource reading and a ByteSink writing the open stream of
// a FileHolder owned by the caller. Each keeps the errno of its first failure for the message
// that names the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/file_holder.h"
#include "codec/byte_stream.h"

namespace kupack {

class FileSource final : public ByteSource {
 public:
  explicit FileSource(FileHolder& file) : file_(file) {}
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override;
  int error() const { return error_; }

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
