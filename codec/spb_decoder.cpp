#include "codec/spb_decoder.h"

#include <algorithm>
#include <cstddef>
#include <new>

#include "codec/source_bit_reader.h"
#include "common/byte_order.h"
#include "common/checked_size.h"

namespace kupack {
namespace {

constexpr unsigned RAW_GROUP = 8;
constexpr std::uint8_t FIRST_VALUE = 0xFF;  // the plane's first value comes next
constexpr std::uint8_t NEW_GROUP = 4;       // a class code comes next

// Reads a class code; the payload width (0 to 7) or RAW_GROUP for the raw class.
bool readClass(SourceBitReader& reader, unsigned& width) {
  std::uint32_t code = 0;
  if (!reader.read(3, code)) return false;
  if (code == 0b111) {
    std::uint32_t last = 0;
    if (!reader.read(1, last)) return false;
    width = last == 0 ? 1 : 2;
  } else if (code == 0b110) {
    width = RAW_GROUP;
  } else {
    width = code == 0 ? 0 : code + 2;
  }
  return true;
}

enum class Step { Value, EndsEarly, OutOfRange };

// The plane's next value along the scan, with `state` moved past it.
template <typename State>
Step nextValue(SourceBitReader& reader, State& state, std::uint8_t& value) {
  std::uint32_t bits = 0;
  if (state.entry == FIRST_VALUE) {
    if (!reader.read(8, bits)) return Step::EndsEarly;
    state.entry = NEW_GROUP;
    state.previous = value = static_cast<std::uint8_t>(bits);
    return Step::Value;
  }
  if (state.entry == NEW_GROUP) {
    unsigned width = 0;
    if (!readClass(reader, width)) return Step::EndsEarly;
    state.classWidth = static_cast<std::uint8_t>(width);
    state.entry = 0;
  }
  if (!reader.read(state.classWidth, bits)) {
    return Step::EndsEarly;
  }
  ++state.entry;
  std::int32_t current = static_cast<std::int32_t>(bits);
  if (state.classWidth != RAW_GROUP) {
    const auto previous = static_cast<std::int32_t>(state.previous);
    const auto folded = static_cast<std::int32_t>(bits);
    current = folded % 2 == 0 ? previous - folded / 2 : previous + (folded + 1) / 2;
    if (current < 0 || current > 255) return Step::OutOfRange;
  }
  state.previous = value = static_cast<std::uint8_t>(current);
  return Step::Value;
}

Status unreadable() {
  return Status::fault(Status::Code::CannotRead, Status::Reason::StreamUnreadable);
}

Status stepFailure(const SourceBitReader& reader, Step step) {
  if (reader.failed()) return unreadable();
  return Status::corrupt(step == Step::OutOfRange ? Status::Reason::SpbResidualOutOfRange
                                                  : Status::Reason::SpbEndsEarly);
}

}  // namespace

Status SpbRowDecoder::check(std::vector<std::uint8_t>* pixels) {
  checked_ = false;
  SourceBitReader reader(stream_);
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!reader.read(16, width) || !reader.read(16, height)) {
    if (reader.failed()) return unreadable();
    return Status::corrupt(Status::Reason::SpbEndsInHeader);
  }
  width_ = width;
  height_ = height;
  if (width == 0 || height == 0) return Status::corrupt(Status::Reason::SpbNoPixels);
  const std::uint64_t pixelCount = std::uint64_t{width} * height;
  const std::uint64_t groupsPerPlane = (pixelCount - 1 + 3) / 4;
  // Every plane takes at least its first value and a 3-bit class code per group.
  if (reader.bitsLeft() < 3 * (8 + 3 * groupsPerPlane)) {
    return Status::corrupt(Status::Reason::SpbEndsEarly);
  }
  rowStarts_.assign(std::size_t{3} * height, PlaneState{});
  if (pixels != nullptr) pixels->assign(static_cast<std::size_t>(pixelCount) * 3, 0);

  PlaneState state;
  for (std::size_t plane = 0; plane < 3; ++plane) {
    state.entry = FIRST_VALUE;
    for (std::size_t y = 0; y < height; ++y) {
      state.bitPosition = reader.position();
      rowStarts_[plane * height + y] = state;
      const bool forward = y % 2 == 0;
      for (std::uint32_t x = 0; x < width; ++x) {
        std::uint8_t value = 0;
        if (const Step step = nextValue(reader, state, value); step != Step::Value) {
          return stepFailure(reader, step);
        }
        if (pixels != nullptr) {
          const std::size_t column = forward ? x : width - 1 - x;
          (*pixels)[(y * width + column) * 3 + plane] = value;
        }
      }
    }
    // The last group is completed with zero entries.
    for (; state.entry < NEW_GROUP; ++state.entry) {
      std::uint32_t bits = 0;
      if (!reader.read(state.classWidth, bits)) {
        return stepFailure(reader, Step::EndsEarly);
      }
      if (bits != 0) return Status::corrupt(Status::Reason::SpbCompletingNotZero);
    }
    planeEnds_[plane] = (reader.position() + 7) / 8;
  }
  std::uint32_t fill = 0;
  const auto fillBits = static_cast<unsigned>((8 - reader.position() % 8) % 8);
  if (!reader.read(fillBits, fill) || fill != 0) {
    return Status::corrupt(Status::Reason::SpbFillNotZero);
  }
  if (reader.bitsLeft() != 0) return Status::corrupt(Status::Reason::SpbTrailingBytes);
  checked_ = true;
  return Status::ok();
}

Status SpbRowDecoder::writeRows(bool bottomUp, ByteSink& sink) {
  if (!checked_) return Status::refused(Status::Reason::SpbNotChecked);
  SourceBitReader readers[3] = {SourceBitReader(stream_), SourceBitReader(stream_),
                                SourceBitReader(stream_)};
  std::vector<std::uint8_t> row(std::size_t{width_} * 3);
  for (std::uint32_t i = 0; i < height_; ++i) {
    const std::size_t y = bottomUp ? height_ - 1 - i : i;
    const bool forward = y % 2 == 0;
    for (std::size_t plane = 0; plane < 3; ++plane) {
      PlaneState state = rowStarts_[plane * height_ + y];
      // Read no further ahead than the row's end, so that going up the rows reads each
      // byte about once.
      const std::uint64_t rowEnd = y + 1 < height_
                                       ? rowStarts_[plane * height_ + y + 1].bitPosition / 8 + 1
                                       : planeEnds_[plane];
      SourceBitReader& reader = readers[plane];
      reader.seek(state.bitPosition, rowEnd);
      for (std::uint32_t x = 0; x < width_; ++x) {
        std::uint8_t value = 0;
        if (const Step step = nextValue(reader, state, value); step != Step::Value) {
          return stepFailure(reader, step);  // only when the source changed
        }
        const std::size_t column = forward ? x : width_ - 1 - x;
        row[column * 3 + plane] = value;
      }
    }
    if (!sink.put(row)) {
      return Status::fault(Status::Code::OutputError, Status::Reason::DecodedRowsNotWritten);
    }
  }
  return Status::ok();
}

namespace {

Status tooLargeForMemory() { return Status::refused(Status::Reason::PictureTooLargeForMemory); }

}  // namespace

Status decodeSpb(PositionedSource& stream, SpbPicture& picture) {
  picture = SpbPicture{};
  // A picture this build cannot address is refused before its stream is walked.
  std::uint8_t header[4] = {};
  if (stream.size() >= sizeof header && stream.read(0, header)) {
    const std::uint32_t width = loadBE16(header);
    const std::uint32_t height = loadBE16(header + 2);
    if (!pictureBytes(width, height, 3)) return tooLargeForMemory();
  }
  SpbRowDecoder decoder(stream);
  if (Status status = decoder.check(); !status) return status;
  const auto bytes = pictureBytes(decoder.width(), decoder.height(), 3);
  if (!bytes) return tooLargeForMemory();
  picture.width = decoder.width();
  picture.height = decoder.height();
  picture.pixels.reserve(*bytes);
  VectorSink sink(picture.pixels);
  if (Status status = decoder.writeRows(false, sink); !status) {
    picture = SpbPicture{};
    return status;
  }
  return Status::ok();
}

Status decodeSpb(std::span<const std::uint8_t> stream, SpbPicture& picture) {
  SpanPositionedSource source(stream);
  return decodeSpb(source, picture);
}

}  // namespace kupack
