// The ends every coder and decoder works between: a ByteSource a coder reads from in order,
// a PositionedSource a decoder reads at any position (three SPB planes are read side by
// side), a ByteSink both write to, and an optional ProgressListener told how far a coder has
// got. They know nothing else about where bytes come from or go: files, buffers and console
// lines are their callers'.
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

// Bytes read by position. read() fills all of `buffer` from `position` on, or returns false
// (the source keeps the reason for its owner); callers never ask past size().
class PositionedSource {
 public:
  virtual ~PositionedSource() = default;
  virtual std::uint64_t size() const = 0;
  virtual bool read(std::uint64_t position, std::span<std::uint8_t> buffer) = 0;
  // A hint that the `length` bytes from `position` on will be read soon, so that a source on
  // a file may start reading them ahead. Does nothing unless a source says otherwise.
  virtual void willRead(std::uint64_t /*position*/, std::uint64_t /*length*/) {}
};

// A positioned source over bytes in memory, which must outlive it.
class SpanPositionedSource final : public PositionedSource {
 public:
  explicit SpanPositionedSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    if (position > bytes_.size() || buffer.size() > bytes_.size() - position) return false;
    if (!buffer.empty()) std::memcpy(buffer.data(), bytes_.data() + position, buffer.size());
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// A sink that appends to a vector owned by the caller (std::bad_alloc when memory runs out).
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

// A sink that only counts, for checking a stream without keeping what it codes.
class CountingSink final : public ByteSink {
 public:
  bool put(std::span<const std::uint8_t> bytes) override {
    count_ += bytes.size();
    return true;
  }
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
};

// How a coding run ended.
enum class CodingResult {
  Done,
  SourceFailed,  // the source's read() returned false
  SinkFailed,    // the sink's put() returned false
};

}  // namespace kupack
