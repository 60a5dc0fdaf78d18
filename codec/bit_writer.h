// BitWriter: packs bits into bytes, most significant bit first, and hands the bytes to a
// ByteSink in blocks. It owns one block buffer; the sink belongs to the caller. The bytes
// are exactly those of a writer that emits each byte as soon as its eighth bit arrives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kupack {

class FileHolder;

// Where a BitWriter's bytes go. put() returns false when the bytes could not be taken.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool put(std::span<const std::uint8_t> bytes) = 0;
};

// Appends to a vector owned by the caller.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool put(std::span<const std::uint8_t> bytes) override;

 private:
  std::vector<std::uint8_t>& out_;
};

// Writes to the open stream of a FileHolder owned by the caller. On failure errno is kept
// in error() for the message.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(FileHolder& file) : file_(file) {}
  bool put(std::span<const std::uint8_t> bytes) override;
  int error() const { return error_; }

 private:
  FileHolder& file_;
  int error_ = 0;
};

class BitWriter {
 public:
  // `sink` must outlive the writer.
  explicit BitWriter(ByteSink& sink) : sink_(sink) {}
  // Flushes what is still waiting (as flushBits does); a failure here goes unreported, so
  // callers that care call flushBits themselves first.
  ~BitWriter() { flushBits(); }
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  // Appends a 1 bit when `bit` is true, otherwise a 0 bit.
  void putBit(bool bit) { putBits(bit ? 1u : 0u, 1); }

  // Appends the low `count` bits of `value`, most significant first; higher bits of `value`
  // are ignored. `count` is 0 to 32; 0 appends nothing.
  void putBits(std::uint32_t value, int count) {
    if (count <= 0) return;
    const std::uint64_t mask = (std::uint64_t{1} << count) - 1;
    accumulator_ = (accumulator_ << count) | (value & mask);
    pending_ += count;
    if (pending_ >= 32) emitWord();
  }

  // Pads the waiting bits (if any) with 0 bits to a whole byte, then hands every byte still
  // buffered to the sink. Returns false when the sink refused any block so far. A second
  // call adds no byte.
  bool flushBits();

  // True while the sink has taken every block handed to it.
  bool ok() const { return ok_; }

 private:
  static constexpr std::size_t BLOCK_SIZE = 65536;

  // Moves the oldest 32 waiting bits into the block as four bytes.
  void emitWord() {
    pending_ -= 32;
    const auto word = static_cast<std::uint32_t>(accumulator_ >> pending_);
    if (used_ > BLOCK_SIZE - 4) handBlock();
    block_[used_] = static_cast<std::uint8_t>(word >> 24);
    block_[used_ + 1] = static_cast<std::uint8_t>(word >> 16);
    block_[used_ + 2] = static_cast<std::uint8_t>(word >> 8);
    block_[used_ + 3] = static_cast<std::uint8_t>(word);
    used_ += 4;
  }
  void handBlock();

  ByteSink& sink_;
  std::uint64_t accumulator_ = 0;  // the waiting bits in its low `pending_` positions
  int pending_ = 0;                // 0 to 31 between calls
  std::size_t used_ = 0;           // bytes of block_ not yet handed to the sink
  bool ok_ = true;
  std::array<std::uint8_t, BLOCK_SIZE> block_;
};

}  // namespace kupack
