#include "codec/lzss_decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/lzss.h"
#include "codec/source_bit_reader.h"

namespace kupack {
namespace {

constexpr std::size_t FIRST_WRITE_SLOT = LZSS_INITIAL_FILL;
constexpr std::uint8_t FILL_BYTE = LZSS_FILL_BYTE;
constexpr unsigned MATCH_BITS = 13;
constexpr unsigned LITERAL_BITS = 9;
constexpr std::uint32_t MIN_MATCH = LZSS_MIN_MATCH;
constexpr std::size_t OUTPUT_PIECE = std::size_t{1} << 16;

// The decoded bytes not yet handed to the sink, after the 256 bytes decoded before them
// (spaces before the first): a match copies from up to 256 bytes back in this one buffer,
// which is the ring. The byte at output position p lives in ring slot (239 + p) mod 256,
// so a match from slot s written at position p reads from (239 + p - s) mod 256 bytes back,
// 256 when that is 0 (the slot about to be overwritten still holds the byte 256 back).
class RingOutput {
 public:
  explicit RingOutput(ByteSink& sink)
      : sink_(sink), bytes_(HISTORY + OUTPUT_PIECE + 4 * MAX_MATCH) {
    std::fill_n(bytes_.begin(), HISTORY, FILL_BYTE);
  }

  void literal(std::uint8_t byte) { bytes_[end_++] = byte; }
  // Appends `length` (at most 17) bytes from ring slot `slot`.
  void match(std::size_t slot, std::size_t length) {
    const auto back = static_cast<std::size_t>(
        ((FIRST_WRITE_SLOT + (end_ - HISTORY) + written_ - slot - 1) & 0xFF) + 1);
    std::uint8_t* to = bytes_.data() + end_;
    const std::uint8_t* from = to - back;
    // Whole words are copied, past the match's end too (the buffer has room after the
    // piece for that): from 8 bytes back, each word's bytes were written before it.
    if (back >= 8) {
      for (std::size_t i = 0; i < length; i += 8) std::memcpy(to + i, from + i, 8);
    } else if (back == 1) {
      std::memset(to, to[-1], length);
    } else {
      for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
    }
    end_ += length;
  }
  bool pieceFull() const { return end_ >= HISTORY + OUTPUT_PIECE; }
  // Hands the piece to the sink and keeps its last 256 bytes as the history.
  bool flush() {
    const std::size_t produced = end_ - HISTORY;
    if (produced == 0) return true;
    const bool kept = sink_.put(std::span(bytes_.data() + HISTORY, produced));
    std::memmove(bytes_.data(), bytes_.data() + end_ - HISTORY, HISTORY);
    written_ += produced;
    end_ = HISTORY;
    return kept;
  }

 private:
  static constexpr std::size_t HISTORY = 256;
  static constexpr std::size_t MAX_MATCH = LZSS_MAX_MATCH;

  ByteSink& sink_;
  std::vector<std::uint8_t> bytes_;
  std::size_t end_ = HISTORY;
  std::uint64_t written_ = 0;  // bytes handed to the sink (only its low 8 bits matter)
};

}  // namespace

std::uint64_t maxLzssOutput(std::uint64_t streamSize) {
  const std::uint64_t bits = streamSize * 8;
  return bits / MATCH_BITS * 17 + (bits % MATCH_BITS >= LITERAL_BITS ? 1 : 0);
}

Status decodeLzss(PositionedSource& stream, std::uint64_t expectedSize, ByteSink& sink,
                  LzssDecoded& decoded) {
  decoded = LzssDecoded{};
  // A stream that cannot reach the expected size is refused before anything is decoded.
  if (expectedSize > maxLzssOutput(stream.size())) {
    return Status::corrupt(Status::Reason::LzssCannotHold, {stream.size(), expectedSize});
  }
  RingOutput output(sink);
  SourceBitReader reader(stream);
  std::uint64_t produced = 0;
  bool sinkKept = true;
  while (produced < expectedSize) {
    // Three tokens at a time while the stream holds their longest form and the output
    // has room for them.
    if (expectedSize - produced >= 3 * LZSS_MAX_MATCH && reader.ensure(3 * MATCH_BITS)) {
      for (int token = 0; token < 3; ++token) {
        if (reader.peek(1) != 0) {
          output.literal(static_cast<std::uint8_t>(reader.peek(LITERAL_BITS)));
          reader.skip(LITERAL_BITS);
          ++produced;
        } else {
          const auto value = static_cast<std::uint32_t>(reader.peek(MATCH_BITS));
          reader.skip(MATCH_BITS);
          const std::size_t length = (value & 0xF) + MIN_MATCH;
          output.match(value >> 4 & 0xFF, length);
          produced += length;
        }
      }
      if (output.pieceFull() && !(sinkKept = output.flush())) break;
      continue;
    }
    std::uint32_t flag = 0;
    std::uint32_t value = 0;
    if (reader.bitsLeft() < LITERAL_BITS || !reader.read(1, flag)) break;
    if (flag != 0) {
      if (!reader.read(8, value)) break;
      output.literal(static_cast<std::uint8_t>(value));
      ++produced;
    } else {
      if (reader.bitsLeft() < MATCH_BITS - 1 || !reader.read(12, value)) break;
      const auto length = static_cast<std::size_t>(
          std::min<std::uint64_t>((value & 0xF) + MIN_MATCH, expectedSize - produced));
      output.match(value >> 4, length);
      produced += length;
    }
    if (output.pieceFull() && !(sinkKept = output.flush())) break;
  }
  if (sinkKept) sinkKept = output.flush();
  decoded.bytesUsed = (reader.position() + 7) / 8;
  if (!sinkKept) {
    return Status::fault(Status::Code::OutputError, Status::Reason::DecodedBytesNotWritten);
  }
  decoded.produced = produced;
  if (reader.failed()) {
    return Status::fault(Status::Code::CannotRead, Status::Reason::StreamUnreadable);
  }
  if (produced < expectedSize) {
    return Status::corrupt(Status::Reason::LzssEndsEarly, {produced, expectedSize});
  }
  return Status::ok();
}

Status decodeLzss(std::span<const std::uint8_t> stream, std::size_t expectedSize,
                  std::vector<std::uint8_t>& out) {
  out.clear();
  SpanPositionedSource source(stream);
  VectorSink sink(out);
  LzssDecoded decoded;
  if (expectedSize <= maxLzssOutput(stream.size())) out.reserve(expectedSize);
  return decodeLzss(source, expectedSize, sink, decoded);
}

}  // namespace kupack
