// The ends every coder works between: a ByteSource it reads from, a ByteSink it writes to,
// and an optional ProgressListener it tells how far it has got. Coders know nothing else
// about where bytes come from or go: files, buffers and console lines are their callers'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kupack {

// Where a coder takes its bytes from. read() places up to `buffer.size()` bytes at the front
// of `buffer` and sets `count` to their number; a count of 0 means the end. False when the
// bytes could not be read (the source keeps why); the coder then stops.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual bool read(std::span<std::uint8_t> buffer, std::size_t& count) = 0;
};

// Where a coder's bytes go. put() returns false when the bytes could not be taken (the sink
// keeps why); the coder then stops.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool put(std::span<const std::uint8_t> bytes) = 0;
};

// Told how much of its source a coder has taken in, against the size it was given.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  virtual void progress(std::uint64_t done, std::uint64_t total) = 0;
};

// A source over bytes in memory, which must outlive it.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> bytes) : rest_(bytes) {}
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    count = buffer.size() < rest_.size() ? buffer.size() : rest_.size();
    if (count != 0) std::memcpy(buffer.data(), rest_.data(), count);
    rest_ = rest_.subspan(count);
    return true;
  }

 private:
  std::span<const std::uint8_t> rest_;
};

// A sink that appends to a vector owned by the caller.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// How a coding run ended.
enum class CodingResult {
  Done,
  SourceFailed,  // the source's read() returned false
  SinkFailed,    // the sink's put() returned false
};

}  // namespace kupack
