#include "codec/bit_writer.h"

namespace kupack {

bool BitWriter::flushBits() {
  if (pending_ > 0) {
    block_[used_++] = static_cast<std::uint8_t>(accumulator_ << (8 - pending_));
    pending_ = 0;
  }
  accumulator_ = 0;
  handBlock();
  return ok_;
}

void BitWriter::handBlock() {
  if (used_ == 0) return;
  // After a refused block nothing more is handed on: the output is already incomplete.
  if (ok_ && !sink_.put(std::span<const std::uint8_t>(block_.data(), used_))) ok_ = false;
  used_ = 0;
}

}  // namespace kupack
