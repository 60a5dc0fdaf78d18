#include "codec/lzss_window.h"

#include <algorithm>
#include <cstring>

#include "codec/lzss.h"

namespace kupack {
namespace {

// Window indices are 32-bit, so the block stays far below 2 GiB.
std::size_t windowBlock(std::uint64_t totalSize, std::size_t blockSize) {
  const std::size_t block = std::clamp(blockSize, LZSS_MIN_BLOCK, LZSS_MAX_BLOCK);
  if (totalSize + 1 < block)
    return std::max(static_cast<std::size_t>(totalSize + 1), LZSS_MIN_BLOCK);
  return block;
}

}  // namespace

LzssWindow::LzssWindow(std::uint64_t totalSize, std::size_t blockSize)
    : capacity_(static_cast<std::int32_t>(2 * KEEP_AHEAD + windowBlock(totalSize, blockSize))),
      bytes_(FRONT + static_cast<std::size_t>(capacity_) + SLACK),
      end_(LZSS_INITIAL_FILL) {
  std::fill_n(bytes_.data(), FRONT, std::uint8_t{0});
  std::fill_n(data(), LZSS_INITIAL_FILL, LZSS_FILL_BYTE);
}

bool LzssWindow::fill(ByteSource& source) {
  while (!ended_ && end_ < capacity_) {
    const auto room = static_cast<std::size_t>(capacity_ - end_);
    std::size_t count = 0;
    if (!source.read({data() + end_, room}, count)) return false;
    if (count == 0) {
      ended_ = true;
      break;
    }
    count = std::min(count, room);
    end_ += static_cast<std::int32_t>(count);
    loaded_ += count;
  }
  // The bytes past the data are read by word compares (and never count).
  std::fill_n(data() + end_, SLACK, std::uint8_t{0});
  return true;
}

std::int32_t LzssWindow::shift(std::int32_t position) {
  const std::int32_t shift = (position - KEEP_BEHIND) & ~0xFF;
  if (shift <= 0) return 0;
  std::memmove(data(), data() + shift, static_cast<std::size_t>(end_ - shift));
  end_ -= shift;
  base_ += static_cast<std::uint64_t>(shift);
  return shift;
}

}  // namespace kupack
