// Reads a PositionedSource bit by bit, most significant bit first, through a bounded window, and
// can be moved to any bit position. Never asks the source for a byte past its end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/byte_stream.h"
#include "common/byte_order.h"

namespace kupack {

class SourceBitReader {
 public:
  static constexpr std::size_t DEFAULT_WINDOW = std::size_t{1} << 16;
  // What is read at a time beyond the end the caller named.
  static constexpr std::size_t PAST_READ_AHEAD = 16;

  explicit SourceBitReader(PositionedSource& source, std::size_t window = DEFAULT_WINDOW)
      : source_(source), sourceSize_(source.size()), window_(window) {}

  std::uint64_t position() const { return next_ * 8 - count_; }
  std::uint64_t bitsLeft() const { return (sourceSize_ - next_) * 8 + count_; }
  // True once the source refused a read; every read fails from then on.
  bool failed() const { return failed_; }

  // Moves to bit `bitPosition` (at most the source's length in bits). `readAheadEnd`, when
  // not 0, is the byte where what the caller wants next ends: windows stop there, so that
  // a caller that jumps back and forth reads each byte about once.
  void seek(std::uint64_t bitPosition, std::uint64_t readAheadEnd = 0) {
    readAheadEnd_ = readAheadEnd;
    if (bitPosition == position()) return;
    next_ = bitPosition / 8;
    count_ = 0;
    buffer_ = 0;
    std::uint32_t ignored = 0;
    if (bitPosition % 8 != 0) read(static_cast<unsigned>(bitPosition % 8), ignored);
  }

  // Reads `count` (0 to 25) bits into `value`; false when fewer are left or the source failed.
  bool read(unsigned count, std::uint32_t& value) {
    if (!ensure(count)) return false;
    count_ -= count;
    value = static_cast<std::uint32_t>(buffer_ >> count_) & ((std::uint32_t{1} << count) - 1);
    return true;
  }

  // For decoders that take several codes at once: makes at least `count` (0 to 49) bits
  // ready for peek(); false when fewer are left or the source failed. (The buffer takes whole
  // bytes up to 56 bits, so 49 is the most that can be asked for.)
  bool ensure(unsigned count) {
    if (count_ >= count) return true;
    if (next_ >= windowStart_ && next_ + 8 <= windowEnd_) {  // whole bytes up to 56 bits
      const unsigned taken = (56 - count_) / 8;
      buffer_ = buffer_ << (taken * 8) | loadBE64(windowByte()) >> (64 - taken * 8);
      next_ += taken;
      count_ += taken * 8;
      return true;
    }
    return fillUp(count);
  }
  // The next `count` (1 to 49, at most what ensure() made ready) bits, not yet taken.
  std::uint64_t peek(unsigned count) const {
    return buffer_ >> (count_ - count) & ((std::uint64_t{1} << count) - 1);
  }
  // Takes `count` bits of those ensure() made ready.
  void skip(unsigned count) { count_ -= count; }

 private:
  const std::uint8_t* windowByte() const {
    return bytes_.data() + static_cast<std::size_t>(next_ - windowStart_);
  }
  bool fillUp(unsigned count) {
    while (count_ < count) {
      if (next_ < windowStart_ || next_ >= windowEnd_) {
        if (!refill()) return false;
      }
      // Takes as many of the window's bytes as the buffer holds (up to 56 bits), so that the
      // window is looked at about once every few reads.
      const auto room = static_cast<std::uint64_t>((56 - count_) / 8);
      const std::uint64_t taken = std::min(room, windowEnd_ - next_);
      const std::uint8_t* from = windowByte();
      if (windowEnd_ - next_ >= 8 && taken != 0) {
        const auto bits = static_cast<unsigned>(taken) * 8;  // 8 to 56
        buffer_ = buffer_ << bits | loadBE64(from) >> (64 - bits);
      } else {
        for (std::uint64_t i = 0; i < taken; ++i) buffer_ = buffer_ << 8 | from[i];
      }
      next_ += taken;
      count_ += static_cast<unsigned>(taken) * 8;
    }
    return true;
  }

  bool refill() {
    if (failed_ || next_ >= sourceSize_) return false;
    std::uint64_t piece = std::min<std::uint64_t>(window_, sourceSize_ - next_);
    if (readAheadEnd_ > next_) {
      piece = std::min(piece, readAheadEnd_ - next_);
    } else if (readAheadEnd_ != 0) {
      piece = std::min<std::uint64_t>(piece, PAST_READ_AHEAD);  // a decoder looking ahead
    }
    if (bytes_.size() < piece) bytes_.resize(static_cast<std::size_t>(piece));
    if (!source_.read(next_, std::span(bytes_.data(), static_cast<std::size_t>(piece)))) {
      failed_ = true;
      return false;
    }
    windowStart_ = next_;
    windowEnd_ = next_ + piece;
    return true;
  }

  PositionedSource& source_;
  std::uint64_t sourceSize_;
  std::size_t window_;
  std::vector<std::uint8_t> bytes_;
  std::uint64_t windowStart_ = 0;
  std::uint64_t windowEnd_ = 0;
  std::uint64_t readAheadEnd_ = 0;
  std::uint64_t next_ = 0;  // next byte to take into the buffer
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;  // bits of `buffer_` not yet read
  bool failed_ = false;
};

}  // namespace kupack
