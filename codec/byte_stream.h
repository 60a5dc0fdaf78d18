// Where decoders take their stream from and put what they produce, a piece at a time, so
// that no decoder needs a whole stream or a whole output in memory and decoders can be used
// without files. A source is read at any position (three SPB planes are read side by side).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace kupack {

// Bytes read by position. read() fills all of `buffer` from `position` on, or returns
// false (the source keeps the reason for its owner); callers never ask past size().
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  virtual bool read(std::uint64_t position, std::span<std::uint8_t> buffer) = 0;
};

// Takes produced bytes in order; false when they could not be kept (the sink keeps why).
class DecodedSink {
 public:
  virtual ~DecodedSink() = default;
  virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

// A source over bytes already in memory.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    if (position > bytes_.size() || buffer.size() > bytes_.size() - position) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position), buffer.size(),
                buffer.begin());
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// A sink that appends to a vector (std::bad_alloc when memory runs out).
class VectorDecodedSink final : public DecodedSink {
 public:
  explicit VectorDecodedSink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool write(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// A sink that only counts, for checking a stream without keeping what it codes.
class CountingDecodedSink final : public DecodedSink {
 public:
  bool write(std::span<const std::uint8_t> bytes) override {
    count_ += bytes.size();
    return true;
  }
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
};

}  // namespace kupack
