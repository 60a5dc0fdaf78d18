#include "codec/lzss_decoder.h"

#include <algorithm>

#include "codec/lzss.h"

namespace kupack {
namespace {

constexpr std::size_t FIRST_WRITE_SLOT = LZSS_INITIAL_FILL;
constexpr std::uint8_t FILL_BYTE = LZSS_FILL_BYTE;
constexpr std::size_t MATCH_BITS = 13;
constexpr std::size_t LITERAL_BITS = 9;
constexpr std::size_t MIN_MATCH = LZSS_MIN_MATCH;
constexpr std::size_t MAX_MATCH = LZSS_MAX_MATCH;

// Reads the stream most significant bit first; never touches a byte past its end.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> stream) : stream_(stream) {}

  std::size_t bitsLeft() const { return (stream_.size() - next_) * 8 + count_; }

  // Takes `count` (1..25) bits; the caller has checked that they are there.
  std::uint32_t take(unsigned count) {
    while (count_ < count) {
      buffer_ = buffer_ << 8 | stream_[next_++];
      count_ += 8;
    }
    count_ -= count;
    return static_cast<std::uint32_t>(buffer_ >> count_) & ((1u << count) - 1);
  }

 private:
  std::span<const std::uint8_t> stream_;
  std::size_t next_ = 0;
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;
};

std::string shortStreamError(std::size_t produced, std::size_t expected) {
  return "LZSS stream ends after " + std::to_string(produced) + " of " + std::to_string(expected) +
         " bytes";
}

}  // namespace

bool decodeLzss(std::span<const std::uint8_t> stream, std::size_t expectedSize,
                std::vector<std::uint8_t>& out, std::string& error) {
  out.clear();
  // Each match takes 13 bits and gives at most 17 bytes, so a stream that cannot reach the
  // expected size is refused before anything is allocated for it.
  const std::uint64_t mostProducible =
      std::uint64_t{stream.size()} * 8 / MATCH_BITS * MAX_MATCH + 1;
  if (std::uint64_t{expectedSize} > mostProducible) {
    error = "LZSS stream of " + std::to_string(stream.size()) + " bytes cannot hold " +
            std::to_string(expectedSize) + " bytes";
    return false;
  }
  out.resize(expectedSize);
  std::uint8_t* const data = out.data();

  // Output index o sits in ring slot (o + 239) mod 256, so slot P, read at output index o,
  // holds the byte written `distance` = (o + 239 - P) mod 256 bytes earlier (256 when that is
  // 0: the slot about to be overwritten). Before anything was written there, a slot holds the
  // fill byte; the encoder never reads slots 239..255 early, and they start as fill bytes too.
  BitReader reader(stream);
  std::size_t produced = 0;
  while (produced < expectedSize) {
    if (reader.bitsLeft() < LITERAL_BITS) break;
    if (reader.take(1) != 0) {
      data[produced++] = static_cast<std::uint8_t>(reader.take(8));
      continue;
    }
    if (reader.bitsLeft() < MATCH_BITS - 1) break;
    const std::size_t slot = reader.take(8);
    const std::size_t length =
        std::min<std::size_t>(reader.take(4) + MIN_MATCH, expectedSize - produced);
    std::size_t distance = (produced + FIRST_WRITE_SLOT - slot) & 0xFF;
    if (distance == 0) distance = 256;
    for (std::size_t i = 0; i < length; ++i, ++produced) {
      data[produced] = produced >= distance ? data[produced - distance] : FILL_BYTE;
    }
  }
  if (produced < expectedSize) {
    out.resize(produced);
    error = shortStreamError(produced, expectedSize);
    return false;
  }
  return true;
}

}  // namespace kupack
