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

// Code length and field width of a group by the first four bits of its class code: 000
// (width 0), 001..101 (3..7), 110 (raw values), 1110 (1), 1111 (2).
struct GroupClass {
  std::uint8_t codeLength;
  std::uint8_t width;
};
// clang-format off
constexpr GroupClass CLASS_BY_FOUR_BITS[16] = {
    {3, 0}, {3, 0}, {3, 3}, {3, 3}, {3, 4}, {3, 4}, {3, 5}, {3, 5},
    {3, 6}, {3, 6}, {3, 7}, {3, 7}, {3, RAW_GROUP}, {3, RAW_GROUP}, {4, 1}, {4, 2},
};
// clang-format on
constexpr unsigned LONGEST_GROUP = 3 + 4 * 8;

// One plane's place along the scan. A group is taken from the reader whole when its longest
// form is at hand (its four fields wait in `fields`); near the end of the stream, or when
// resumed in the middle of a group, the fields are read one at a time as they are needed,
// so that a failure is the same one at the same value either way.
struct PlaneCursor {
  std::uint8_t previous = 0;
  std::uint8_t classWidth = 0;
  std::uint8_t entry = FIRST_VALUE;  // entries of the current group used; FIRST_VALUE, NEW_GROUP
  std::uint8_t loaded = NEW_GROUP;   // entries of the current group held in `fields`
  std::uint32_t fields[4] = {};

  template <typename State>
  void resume(const State& state) {
    previous = state.previous;
    classWidth = state.classWidth;
    entry = state.entry;
    loaded = entry < NEW_GROUP ? entry : NEW_GROUP;
  }

  // Where the next field starts: fields held but not yet used are still ahead.
  std::uint64_t nextBit(const SourceBitReader& reader) const {
    if (entry >= loaded) return reader.position();
    return reader.position() - static_cast<std::uint64_t>(loaded - entry) * fieldWidth();
  }
  unsigned fieldWidth() const { return classWidth == RAW_GROUP ? 8 : classWidth; }

  // The plane's next value along the scan.
  Step next(SourceBitReader& reader, std::uint8_t& value) {
    std::uint32_t field = 0;
    if (entry < loaded) [[likely]] {
      field = fields[entry++];
    } else if (entry == FIRST_VALUE) {
      if (!reader.read(8, field)) return Step::EndsEarly;
      entry = NEW_GROUP;
      previous = value = static_cast<std::uint8_t>(field);
      return Step::Value;
    } else if (!nextSlowly(reader, field)) {
      return Step::EndsEarly;
    }
    if (classWidth == RAW_GROUP) {
      previous = value = static_cast<std::uint8_t>(field);
      return Step::Value;
    }
    const std::int32_t current = static_cast<std::int32_t>(previous) + unfold(field);
    if (static_cast<std::uint32_t>(current) > 255) return Step::OutOfRange;
    previous = value = static_cast<std::uint8_t>(current);
    return Step::Value;
  }

  // The next four values, a whole group that starts here, when the reader holds its
  // longest form: Value, OutOfRange, or EndsEarly when it must be taken value by value.
  Step nextGroup(SourceBitReader& reader, std::uint8_t (&values)[4]) {
    if (entry != NEW_GROUP || !reader.ensure(LONGEST_GROUP)) return Step::EndsEarly;
    takeGroup(reader);
    entry = NEW_GROUP;
    if (classWidth == RAW_GROUP) {
      for (int i = 0; i < 4; ++i) values[i] = static_cast<std::uint8_t>(fields[i]);
    } else {
      // All four are formed, then checked at once: one of them out of range fails the
      // picture, whichever it is.
      const std::int32_t v0 = previous + unfold(fields[0]);
      const std::int32_t v1 = v0 + unfold(fields[1]);
      const std::int32_t v2 = v1 + unfold(fields[2]);
      const std::int32_t v3 = v2 + unfold(fields[3]);
      if (static_cast<std::uint32_t>(v0 | v1 | v2 | v3) > 255) return Step::OutOfRange;
      values[0] = static_cast<std::uint8_t>(v0);
      values[1] = static_cast<std::uint8_t>(v1);
      values[2] = static_cast<std::uint8_t>(v2);
      values[3] = static_cast<std::uint8_t>(v3);
    }
    previous = values[3];
    return Step::Value;
  }

  // The change a folded residual codes: odd ones go up by (f + 1) / 2, even ones down by f / 2.
  static std::int32_t unfold(std::uint32_t field) {
    const auto magnitude = static_cast<std::int32_t>((field + 1) >> 1);
    const std::int32_t down = static_cast<std::int32_t>(field & 1) - 1;  // 0 or -1
    return (magnitude ^ down) - down;
  }

  // The field of the next completing entry of the plane's last group (which must be 0).
  bool completingField(SourceBitReader& reader, std::uint32_t& field) {
    if (entry < loaded) {
      field = fields[entry++];
      return true;
    }
    ++entry;
    ++loaded;
    return reader.read(fieldWidth(), field);
  }

 private:
  // The next field when none is held: from a new group, or read on its own.
  bool nextSlowly(SourceBitReader& reader, std::uint32_t& field) {
    if (entry == NEW_GROUP) {
      if (reader.ensure(LONGEST_GROUP)) {
        takeGroup(reader);
        field = fields[entry++];
        return true;
      }
      unsigned width = 0;
      if (!readClass(reader, width)) return false;
      classWidth = static_cast<std::uint8_t>(width);
      entry = 0;
      loaded = 0;
    }
    if (!reader.read(fieldWidth(), field)) return false;
    ++entry;
    ++loaded;
    return true;
  }

  void takeGroup(SourceBitReader& reader) {
    const GroupClass group = CLASS_BY_FOUR_BITS[reader.peek(4)];
    classWidth = group.width;
    const unsigned width = fieldWidth();
    const unsigned length = group.codeLength + 4 * width;
    const std::uint64_t bits = reader.peek(length);
    reader.skip(length);
    const std::uint32_t mask = (std::uint32_t{1} << width) - 1;
    fields[0] = static_cast<std::uint32_t>(bits >> (3 * width)) & mask;
    fields[1] = static_cast<std::uint32_t>(bits >> (2 * width)) & mask;
    fields[2] = static_cast<std::uint32_t>(bits >> width) & mask;
    fields[3] = static_cast<std::uint32_t>(bits) & mask;
    entry = 0;
    loaded = NEW_GROUP;
  }
};

Status unreadable() {
  return Status::fault(Status::Code::CannotRead, Status::Reason::StreamUnreadable);
}

Status stepFailure(const SourceBitReader& reader, Step step) {
  if (reader.failed()) return unreadable();
  return Status::corrupt(step == Step::OutOfRange ? Status::Reason::SpbResidualOutOfRange
                                                  : Status::Reason::SpbEndsEarly);
}

// Decodes one row of a plane, `width` values along the scan, into `out[0]`, `out[step]`, ...
// (nothing is kept when `Keep` is false).
template <bool Keep>
Step decodeRow(PlaneCursor& cursor, SourceBitReader& reader, std::uint32_t width, std::uint8_t* out,
               std::ptrdiff_t step) {
  for (std::uint32_t x = 0; x < width;) {
    // Whole groups while they lie inside the row; value by value around them.
    if (cursor.entry == NEW_GROUP && width - x >= 4) {
      std::uint8_t values[4];
      const Step result = cursor.nextGroup(reader, values);
      if (result == Step::OutOfRange) return result;
      if (result == Step::Value) {
        if constexpr (Keep) {
          for (const std::uint8_t value : values) {
            *out = value;
            out += step;
          }
        }
        x += 4;
        continue;
      }
    }
    std::uint8_t value = 0;
    if (const Step result = cursor.next(reader, value); result != Step::Value) [[unlikely]] {
      return result;
    }
    if constexpr (Keep) {
      *out = value;
      out += step;
    }
    ++x;
  }
  return Step::Value;
}

// Where row `y` of a plane goes in a row of `width` pixels, 3 bytes each, starting at
// `row`: even rows run left to right, odd ones back.
struct RowPlace {
  std::uint8_t* first;
  std::ptrdiff_t step;
};
RowPlace rowPlace(std::uint8_t* row, std::size_t y, std::uint32_t width, std::size_t plane) {
  if (y % 2 == 0) return {row + plane, 3};
  return {row + (std::size_t{width} - 1) * 3 + plane, -3};
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

  const std::size_t rowBytes = std::size_t{width} * 3;
  for (std::size_t plane = 0; plane < 3; ++plane) {
    PlaneCursor cursor;
    for (std::size_t y = 0; y < height; ++y) {
      rowStarts_[plane * height + y] = {cursor.nextBit(reader), cursor.previous, cursor.classWidth,
                                        cursor.entry};
      Step step = Step::Value;
      if (pixels != nullptr) {
        const RowPlace place = rowPlace(pixels->data() + y * rowBytes, y, width, plane);
        step = decodeRow<true>(cursor, reader, width, place.first, place.step);
      } else {
        step = decodeRow<false>(cursor, reader, width, nullptr, 0);
      }
      if (step != Step::Value) return stepFailure(reader, step);
    }
    // The last group is completed with zero entries.
    while (cursor.entry < NEW_GROUP) {
      std::uint32_t field = 0;
      if (!cursor.completingField(reader, field)) return stepFailure(reader, Step::EndsEarly);
      if (field != 0) return Status::corrupt(Status::Reason::SpbCompletingNotZero);
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
    for (std::size_t plane = 0; plane < 3; ++plane) {
      const PlaneState& start = rowStarts_[plane * height_ + y];
      PlaneCursor cursor;
      cursor.resume(start);
      // Read no further ahead than the row's end, so that going up the rows reads each
      // byte about once.
      const std::uint64_t rowEnd = y + 1 < height_
                                       ? rowStarts_[plane * height_ + y + 1].bitPosition / 8 + 1
                                       : planeEnds_[plane];
      SourceBitReader& reader = readers[plane];
      reader.seek(start.bitPosition, rowEnd);
      const RowPlace place = rowPlace(row.data(), y, width_, plane);
      if (const Step step = decodeRow<true>(cursor, reader, width_, place.first, place.step);
          step != Step::Value) {
        return stepFailure(reader, step);  // only when the source changed
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
