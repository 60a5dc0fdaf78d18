// BitWriter: packs bits into bytes, most significant bit first, and hands the bytes to a
// ByteSink in blocks. It owns one block buffer; the sink belongs to the caller. The bytes
// are exactly those of a writer that emits each byte as soon as its eighth bit arrives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/byte_stream.h"

namespace kupack {

class BitBurst;

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
  // are ignored. `count` is 0 to 56; 0 appends nothing.
  inline void putBits(std::uint64_t value, int count);

  // Pads the waiting bits (if any) with 0 bits to a whole byte, then hands every byte still
  // buffered to the sink. Returns false when the sink refused any block so far. A second
  // call adds no byte.
  bool flushBits();

  // True while the sink has taken every block handed to it.
  bool ok() const { return ok_; }

  // The most bits one BitBurst may take.
  static constexpr std::size_t MAX_BURST_BITS = 8 * 4096;

 private:
  friend class BitBurst;
  // Bytes handed on at a time, about; the block has room for one burst more.
  static constexpr std::size_t BLOCK_SIZE = 65536;

  // Makes sure that `bits` more bits fit in the block before it must be handed on.
  void makeRoom(std::size_t bits) {
    if (used_ + bits / 8 + 1 > BLOCK_SIZE) handBlock();
  }
  void handBlock();

  ByteSink& sink_;
  std::uint64_t accumulator_ = 0;  // the waiting bits in its low `pending_` positions
  int pending_ = 0;                // 0 to 7 between calls
  std::size_t used_ = 0;           // bytes of block_ not yet handed to the sink
  bool ok_ = true;
  std::array<std::uint8_t, BLOCK_SIZE + 8> block_;  // 8 more for the last 8-byte store
};

// A run of putBits into a BitWriter with its state held in locals, for hot loops: the
// writer's fields are read once when the burst starts and written back when it ends. The
// burst may take at most the `maxBits` it was made for; the writer must not be used while
// a burst on it is alive.
class BitBurst {
 public:
  BitBurst(BitWriter& writer, std::size_t maxBits) : writer_(writer) {
    writer.makeRoom(maxBits);
    accumulator_ = writer.accumulator_;
    pending_ = writer.pending_;
    out_ = writer.block_.data() + writer.used_;
  }
  ~BitBurst() {
    writer_.accumulator_ = accumulator_;
    writer_.pending_ = pending_;
    writer_.used_ = static_cast<std::size_t>(out_ - writer_.block_.data());
  }
  BitBurst(const BitBurst&) = delete;
  BitBurst& operator=(const BitBurst&) = delete;

  // As BitWriter::putBits.
  void putBits(std::uint64_t value, int count) {
    if (count <= 0) return;
    putExactBits(value & ((std::uint64_t{1} << count) - 1), count);
  }

  // As putBits for a `value` below 2 to the power `count`, and `count` 1 to 56.
  void putExactBits(std::uint64_t value, int count) {
    accumulator_ = (accumulator_ << count) | value;
    pending_ += count;  // at most 7 + 56
    // Stores the waiting bits as 8 bytes from the first unfinished one on; the whole bytes
    // among them are kept, the rest is written again by the next call or by flushBits.
    const std::uint64_t top = accumulator_ << (64 - pending_);
    for (int i = 0; i < 8; ++i) out_[i] = static_cast<std::uint8_t>(top >> (56 - 8 * i));
    out_ += pending_ >> 3;
    pending_ &= 7;
  }

 private:
  BitWriter& writer_;
  std::uint64_t accumulator_;
  int pending_;
  std::uint8_t* out_;
};

void BitWriter::putBits(std::uint64_t value, int count) {
  BitBurst burst(*this, 56);
  burst.putBits(value, count);
}

}  // namespace kupack
