#include "codec/bit_writer.h"

namespace kupack {

bool BitWriter::flushBits() {
  cursor_.padToByte();
  cursor_.bits = 0;
  handBlock();
  return ok_;
}

void BitWriter::handBlock() {
  const std::size_t count = used();
  if (count == 0) return;
  // After a refused block nothing more is handed on: the output is already incomplete.
  if (ok_ && !sink_.put(std::span<const std::uint8_t>(block_.data(), count))) ok_ = false;
  cursor_.out = block_.data();
}

}  // namespace kupack
