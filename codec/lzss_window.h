// LzssWindow: the LZSS coder's view of its source, a block far larger than the 256-byte
// ring that is refilled from a ByteSource and shifted down as coding moves on. Index 0 is
// the first of the 239 fill spaces, which the source follows. It keeps readable slack
// before index 0 and after the data (zeros), so that searches may look a little past either
// end without a check; a shift is a multiple of 256, so every byte keeps its ring slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/byte_stream.h"
#include "codec/raw_bytes.h"

namespace kupack {

class LzssWindow {
 public:
  // Bytes kept behind the coding position on a shift (more than the reach), and bytes that
  // must lie loaded ahead of a token until the source has ended (more than a match and more
  // than the progress figure needs).
  static constexpr std::int32_t KEEP_BEHIND = 256;
  static constexpr std::int32_t KEEP_AHEAD = 512;
  // Readable bytes past the data, for the pair after the last byte and for word compares,
  // and before index 0, for the candidate rows of the first positions (whose bits for bytes
  // out of reach are never looked at).
  static constexpr std::size_t SLACK = 32;
  static constexpr std::size_t FRONT = 64;

  // A window for a source of about `totalSize` bytes read `blockSize` at a time (see
  // LZSS_DEFAULT_BLOCK): small sources get a small window; neither changes the stream.
  LzssWindow(std::uint64_t totalSize, std::size_t blockSize);

  std::uint8_t* data() { return bytes_.data() + FRONT; }
  const std::uint8_t* data() const { return bytes_.data() + FRONT; }
  // The bytes from index 0 on, slack past the data included.
  std::size_t size() const { return bytes_.size() - FRONT; }
  std::int32_t end() const { return end_; }  // one past the loaded data
  bool sourceEnded() const { return ended_; }
  std::uint64_t base() const { return base_; }      // sequence index of window index 0
  std::uint64_t loaded() const { return loaded_; }  // source bytes read so far

  // Where the tokens coded before the next refill must start below: all the data once the
  // source has ended, else all but KEEP_AHEAD bytes.
  std::int32_t codingStop() const { return ended_ ? end_ : end_ - KEEP_AHEAD; }

  // Reads until the window is full or the source has ended; false when the source failed.
  bool fill(ByteSource& source);

  // Drops the bytes more than KEEP_BEHIND (rounded to 256) behind `position`; returns by how
  // many bytes every index moved down (0 for none).
  std::int32_t shift(std::int32_t position);

 private:
  const std::int32_t capacity_;  // window bytes that may hold data
  RawBytes bytes_;
  std::int32_t end_;
  std::uint64_t base_ = 0;
  std::uint64_t loaded_ = 0;
  bool ended_ = false;
};

}  // namespace kupack
