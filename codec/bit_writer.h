// The one bit writer of the coders. BitCursor packs bits most significant first at a memory
// position, its pending bits meant to live in registers in a hot loop; BitWriter owns a block
// for a BitCursor and hands the bytes to a ByteSink. The bytes are exactly those of a writer
// that emits each byte as soon as its eighth bit arrives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "codec/byte_stream.h"
#include "common/byte_order.h"

namespace kupack {

// The pending stream bits and where the next whole byte goes, over memory its user provides.
// A hot loop keeps a copy in a local so that it stays in registers (byte stores could alias
// anything else) and writes it back when done. Each call writes up to 8 bytes from `out` on.
struct BitCursor {
  std::uint8_t* out;
  std::uint64_t bits;     // the last bits put, in its low bits
  std::int32_t bitCount;  // bits of `bits` not yet in a whole byte (0..7)

  // Appends the `count` (1..56) bits of `code`, which must be below 2 to the power `count`.
  // The pending bits (at most 7 + 56) go out left-aligned in 8 bytes; the whole bytes among
  // them are kept, the partial one (its free bits 0) is written again next time.
  void put(int count, std::uint64_t code) {
    bits = bits << count | code;
    bitCount += count;
    storeBE64(out, bits << (64 - bitCount));
    out += bitCount >> 3;
    bitCount &= 7;
  }

  // Appends `count` (at least 1) whole bytes, 8 at a time, each output word made of the
  // source word moved down by the pending bits and the last bits of the byte before it.
  // Reads up to 7 bytes past the source's end and writes up to 8 past the new output end.
  void putBytes(const std::uint8_t* source, std::size_t count) {
    const int pending = bitCount;
    if (pending == 0) {
      std::memcpy(out, source, count);
    } else {
      const int back = 64 - pending;
      std::uint64_t before = bits;  // the pending bits, then each chunk's last byte
      for (std::size_t at = 0; at < count; at += 8) {
        const std::uint64_t word = loadBE64(source + at);
        storeBE64(out + at, word >> pending | before << back);
        before = source[at + 7];
      }
    }
    out += count;
    bits = source[count - 1];
    // The pending bits begin the next byte, followed by zeros, as after put().
    *out = static_cast<std::uint8_t>(bits << (8 - pending));
  }

  // Pads the pending bits (if any) with 0 bits to a whole byte and moves past it.
  void padToByte() {
    if (bitCount > 0) *out++ = static_cast<std::uint8_t>(bits << (8 - bitCount));
    bitCount = 0;
  }
};

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
    if (used() + bits / 8 + 1 > BLOCK_SIZE) handBlock();
  }
  void handBlock();
  std::size_t used() const { return static_cast<std::size_t>(cursor_.out - block_.data()); }

  ByteSink& sink_;
  bool ok_ = true;
  std::array<std::uint8_t, BLOCK_SIZE + 8> block_;  // 8 more for the last 8-byte store
  BitCursor cursor_{block_.data(), 0, 0};  // the bytes before it not yet handed to the sink
};

// A run of putBits into a BitWriter with its cursor held in a local, for hot loops: the
// writer's cursor is read once when the burst starts and written back when it ends. The
// burst may take at most the `maxBits` it was made for; the writer must not be used while
// a burst on it is alive.
class BitBurst {
 public:
  BitBurst(BitWriter& writer, std::size_t maxBits) : writer_(writer) {
    writer.makeRoom(maxBits);
    cursor_ = writer.cursor_;
  }
  ~BitBurst() { writer_.cursor_ = cursor_; }
  BitBurst(const BitBurst&) = delete;
  BitBurst& operator=(const BitBurst&) = delete;

  // As BitWriter::putBits.
  void putBits(std::uint64_t value, int count) {
    if (count <= 0) return;
    putExactBits(value & ((std::uint64_t{1} << count) - 1), count);
  }

  // As putBits for a `value` below 2 to the power `count`, and `count` 1 to 56.
  void putExactBits(std::uint64_t value, int count) { cursor_.put(count, value); }

 private:
  BitWriter& writer_;
  BitCursor cursor_;
};

void BitWriter::putBits(std::uint64_t value, int count) {
  BitBurst burst(*this, 56);
  burst.putBits(value, count);
}

}  // namespace kupack
