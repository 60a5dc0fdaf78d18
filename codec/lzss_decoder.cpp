#include "codec/lzss_decoder.h"

#include <array>

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

// The 256-slot ring and the piece of output not yet handed to the sink.
class RingOutput {
 public:
  explicit RingOutput(ByteSink& sink) : sink_(sink) {
    ring_.fill(FILL_BYTE);
    piece_.reserve(OUTPUT_PIECE);
  }

  void put(std::uint8_t byte) {
    ring_[slot_] = byte;
    slot_ = (slot_ + 1) & 0xFF;
    piece_.push_back(byte);
  }
  std::uint8_t at(std::size_t slot) const { return ring_[slot & 0xFF]; }
  bool pieceFull() const { return piece_.size() >= OUTPUT_PIECE - 17; }
  bool flush() {
    const bool kept = piece_.empty() || sink_.put(piece_);
    piece_.clear();
    return kept;
  }

 private:
  ByteSink& sink_;
  std::array<std::uint8_t, 256> ring_{};
  std::size_t slot_ = FIRST_WRITE_SLOT;
  std::vector<std::uint8_t> piece_;
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
    std::uint32_t flag = 0;
    std::uint32_t value = 0;
    if (reader.bitsLeft() < LITERAL_BITS || !reader.read(1, flag)) break;
    if (flag != 0) {
      if (!reader.read(8, value)) break;
      output.put(static_cast<std::uint8_t>(value));
      ++produced;
    } else {
      if (reader.bitsLeft() < MATCH_BITS - 1 || !reader.read(12, value)) break;
      const std::size_t slot = value >> 4;
      const auto length = static_cast<std::size_t>(
          std::min<std::uint64_t>((value & 0xF) + MIN_MATCH, expectedSize - produced));
      for (std::size_t i = 0; i < length; ++i) output.put(output.at(slot + i));
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
