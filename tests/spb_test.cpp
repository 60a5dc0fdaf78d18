#include "codec/spb.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/status_text.h"
#include "codec/bit_writer.h"
#include "codec/spb_decoder.h"
#include "tests/bmp_builder.h"

namespace kupack {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- A plain reference coder, written bit by bit from the format's description --------

void appendBits(std::string& bits, std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) bits += ((value >> i) & 1) ? '1' : '0';
}

Bytes bitsToBytes(const std::string& bits) {
  Bytes bytes((bits.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == '1') bytes[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
  }
  return bytes;
}

void referenceGroup(std::string& bits, const int residuals[4], const int raw[4]) {
  int m = 0;
  for (int i = 0; i < 4; ++i) m = std::max(m, residuals[i]);
  struct Class {
    int limit;
    const char* code;
    int width;
  };
  static const Class classes[] = {{0, "000", 0},  {1, "1110", 1},  {3, "1111", 2},
                                  {7, "001", 3},  {15, "010", 4},  {31, "011", 5},
                                  {63, "100", 6}, {127, "101", 7}, {510, "110", 8}};
  for (const Class& c : classes) {
    if (m > c.limit) continue;
    bits += c.code;
    for (int i = 0; i < 4; ++i) {
      appendBits(bits, static_cast<std::uint32_t>(c.limit == 510 ? raw[i] : residuals[i]), c.width);
    }
    return;
  }
}

Bytes referenceStream(const SpbPicture& picture) {
  std::string bits;
  const int width = static_cast<int>(picture.width);
  const int height = static_cast<int>(picture.height);
  appendBits(bits, picture.width, 16);
  appendBits(bits, picture.height, 16);
  for (int c = 0; c < 3; ++c) {
    auto value = [&](int row, int x) {
      return static_cast<int>(picture.pixels[(static_cast<std::size_t>(row) * picture.width +
                                              static_cast<std::size_t>(x)) *
                                                 3 +
                                             static_cast<std::size_t>(c)]);
    };
    int previous = value(0, 0);
    appendBits(bits, static_cast<std::uint32_t>(previous), 8);
    int residuals[4] = {};
    int raw[4] = {};
    int j = 0;
    int x = 1;
    int step = 1;
    for (int row = 0; row < height;) {
      if (x == width) {
        step = -1, x = width - 1, ++row;
        continue;
      }
      if (x < 0) {
        step = 1, x = 0, ++row;
        continue;
      }
      const int current = value(row, x);
      const int d = 2 * (previous - current);
      residuals[j] = d >= 0 ? d : -d - 1;
      raw[j] = current;
      if (++j == 4) {
        referenceGroup(bits, residuals, raw);
        j = 0;
      }
      previous = current;
      x += step;
    }
    if (j != 0) {
      for (; j < 4; ++j) residuals[j] = raw[j] = 0;
      referenceGroup(bits, residuals, raw);
    }
  }
  return bitsToBytes(bits);
}

SpbPicture pictureOf(std::uint32_t width, std::uint32_t height, Bytes topDownBgr) {
  SpbPicture picture;
  picture.width = width;
  picture.height = height;
  picture.pixels = std::move(topDownBgr);
  return picture;
}

// ---- Bit writer ------------------------------------------------------------------------

class FailingSink : public ByteSink {
 public:
  bool put(std::span<const std::uint8_t>) override { return false; }
};

TEST(BitWriterTest, PacksMostSignificantBitFirstAndPadsOnlyTheLastByte) {
  Bytes out;
  VectorSink sink(out);
  {
    BitWriter writer(sink);
    writer.putBit(true);
    writer.putBit(false);
    writer.putBit(true);
    EXPECT_TRUE(writer.flushBits());
    EXPECT_TRUE(writer.flushBits());  // nothing waits any more
  }                                   // destruction adds nothing either
  EXPECT_EQ(out, Bytes({0xA0}));

  out.clear();
  {
    BitWriter writer(sink);
    writer.putBits(300, 16);
    writer.putBits(300, 8);  // only the low eight bits count
    writer.putBits(0xFFFF, 0);
    writer.putBits(0xFFFFFFFFu, 32);
    writer.flushBits();
  }
  EXPECT_EQ(out, Bytes({0x01, 0x2C, 0x2C, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BitWriterTest, DestructionFlushesWaitingBitsOnce) {
  Bytes out;
  VectorSink sink(out);
  {
    BitWriter writer(sink);
    writer.putBits(0b11, 2);
  }
  EXPECT_EQ(out, Bytes({0xC0}));
}

TEST(BitWriterTest, LongRandomStreamMatchesBitByBitPacking) {
  std::mt19937 random(7);
  std::string bits;
  Bytes out;
  VectorSink sink(out);
  BitWriter writer(sink);
  // Several blocks' worth, with counts of every size.
  while (bits.size() < 8 * 300000 + 5) {
    const int count = static_cast<int>(random() % 33);
    const std::uint32_t value = static_cast<std::uint32_t>(random());
    writer.putBits(value, count);
    appendBits(bits, value, count);
  }
  ASSERT_TRUE(writer.flushBits());
  EXPECT_EQ(out, bitsToBytes(bits));
}

TEST(BitWriterTest, RefusedBlockIsReported) {
  FailingSink sink;
  BitWriter writer(sink);
  writer.putBits(1, 8);
  EXPECT_FALSE(writer.flushBits());
  EXPECT_FALSE(writer.ok());
}

// ---- Byte-exact streams ----------------------------------------------------------------

TEST(SpbEncoderTest, TwoByOnePicture) {
  const SpbPicture picture = pictureOf(2, 1, {10, 20, 30, 11, 18, 30});
  const Bytes expected = {0x00, 0x02, 0x00, 0x01, 0x0A, 0xE8, 0x14, 0x30, 0x00, 0x3C, 0x00};
  EXPECT_EQ(encodeSpbToMemory(test::viewOf(picture)), expected);
  EXPECT_EQ(referenceStream(picture), expected);
}

TEST(SpbEncoderTest, TwoByTwoPictureWithRawGroup) {
  // Upper row blue 100, 200; lower row all 0.
  const SpbPicture picture = pictureOf(2, 2, {100, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes expected = {0x00, 0x02, 0x00, 0x02, 0x64, 0xD9, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(encodeSpbToMemory(test::viewOf(picture)), expected);
}

TEST(SpbEncoderTest, SinglePixelIsHeaderAndThreeFirstValues) {
  const SpbPicture picture = pictureOf(1, 1, {1, 2, 3});
  EXPECT_EQ(encodeSpbToMemory(test::viewOf(picture)),
            Bytes({0x00, 0x01, 0x00, 0x01, 0x01, 0x02, 0x03}));
}

TEST(SpbEncoderTest, EqualPlanesTakeThreeBitsPerGroup) {
  for (auto [width, height] :
       {std::pair{1u, 1u}, {5u, 1u}, {1u, 6u}, {3u, 3u}, {7u, 9u}, {64u, 32u}, {300u, 1u}}) {
    SpbPicture picture = pictureOf(width, height, Bytes(std::size_t{width} * height * 3, 0x77));
    const std::uint64_t groups = (std::uint64_t{width} * height - 1 + 3) / 4;
    const std::uint64_t bits = 32 + 3 * (8 + 3 * groups);
    const Bytes stream = encodeSpbToMemory(test::viewOf(picture));
    EXPECT_EQ(stream.size(), (bits + 7) / 8) << width << "x" << height;
  }
}

// Each folded residual at a class boundary, as the first entry of a plane's only group.
TEST(SpbEncoderTest, ClassBoundaries) {
  struct Case {
    int folded;
    const char* groupBits;
  };
  const Case cases[] = {
      {0, "000"},
      {1,
       "1110"
       "1000"},
      {2,
       "1111"
       "10000000"},
      {3,
       "1111"
       "11000000"},
      {4,
       "001"
       "100000000000"},
      {7,
       "001"
       "111000000000"},
      {8,
       "010"
       "1000000000000000"},
      {127,
       "101"
       "1111111000000000000000000000"},
      {128,
       "110"
       "01000000"
       "01000000"
       "01000000"
       "01000000"},
  };
  for (const Case& c : cases) {
    // From 128, an even folded residual f steps down by f / 2, an odd one up by (f + 1) / 2.
    const int value = c.folded % 2 == 0 ? 128 - c.folded / 2 : 128 + (c.folded + 1) / 2;
    Bytes blue = {128};
    for (int i = 0; i < 4; ++i) blue.push_back(static_cast<std::uint8_t>(value));
    Bytes pixels;
    for (std::uint8_t b : blue) {
      pixels.push_back(b);
      pixels.push_back(5);
      pixels.push_back(5);
    }
    const SpbPicture picture = pictureOf(5, 1, pixels);

    std::string bits;
    appendBits(bits, 5, 16);
    appendBits(bits, 1, 16);
    appendBits(bits, 128, 8);
    bits += c.groupBits;
    for (int plane = 0; plane < 2; ++plane)
      bits +=
          "00000101"
          "000";
    EXPECT_EQ(encodeSpbToMemory(test::viewOf(picture)), bitsToBytes(bits)) << c.folded;
  }
}

TEST(SpbEncoderTest, GroupCodesResidualsOrRawValues) {
  Bytes out;
  VectorSink sink(out);
  {
    BitWriter writer(sink);
    encodeSpbGroup(writer, {127, 0, 64, 1}, {9, 9, 9, 9});   // 101 + 7 bits each
    encodeSpbGroup(writer, {0, 510, 0, 0}, {1, 2, 3, 255});  // 110 + raw bytes
  }
  std::string bits =
      "101"
      "1111111"
      "0000000"
      "1000000"
      "0000001"
      "110";
  appendBits(bits, 0x010203FF, 32);
  EXPECT_EQ(out, bitsToBytes(bits));
}

TEST(SpbEncoderTest, MatchesReferenceAndDecodesBackForManyShapes) {
  // Widths with and without row padding, pictures one pixel wide or high, and pixel counts
  // with width * height - 1 both a multiple of 4 and not.
  const std::pair<std::uint32_t, std::uint32_t> shapes[] = {
      {1, 1}, {1, 2}, {1, 5}, {1, 8},   {2, 1},  {5, 1},   {9, 1},   {2, 2},   {3, 3},  {3, 7},
      {4, 4}, {5, 5}, {7, 3}, {13, 11}, {17, 1}, {33, 17}, {64, 64}, {127, 5}, {255, 3}};
  unsigned seed = 1;
  for (auto [width, height] : shapes) {
    for (int noise : {0, 2, 20, 255}) {
      const SpbPicture picture = test::randomPicture(width, height, seed++, noise);
      const Bytes stream = encodeSpbToMemory(test::viewOf(picture));
      ASSERT_EQ(stream, referenceStream(picture)) << width << "x" << height << " noise " << noise;
      SpbPicture decoded;
      Status status = Status::ok();
      ASSERT_TRUE((status = decodeSpb(stream, decoded)).isOk()) << statusText(status);
      EXPECT_EQ(decoded.width, width);
      EXPECT_EQ(decoded.height, height);
      EXPECT_EQ(decoded.pixels, picture.pixels) << width << "x" << height << " noise " << noise;
    }
  }
}

TEST(SpbEncoderTest, ReadsRowsThroughNegativeStride) {
  // The same picture stored bottom-up, with padding, seen through a negative stride.
  const SpbPicture picture = test::randomPicture(5, 4, 99, 30);
  const std::size_t stride = 16;
  Bytes block(stride * 4, 0xEE);
  for (std::size_t row = 0; row < 4; ++row) {
    std::copy_n(picture.pixels.begin() + static_cast<std::ptrdiff_t>(row * 15), 15,
                block.begin() + static_cast<std::ptrdiff_t>((3 - row) * stride));
  }
  const SpbSource bottomUp{5, 4, block.data() + 3 * stride, -static_cast<std::ptrdiff_t>(stride)};
  EXPECT_EQ(encodeSpbToMemory(bottomUp), encodeSpbToMemory(test::viewOf(picture)));
}

// ---- Decoder on damaged streams ----------------------------------------------------------

TEST(SpbDecoderTest, EveryCutStreamIsRefused) {
  const SpbPicture picture = test::randomPicture(7, 5, 3, 255);
  const Bytes stream = encodeSpbToMemory(test::viewOf(picture));
  for (std::size_t length = 0; length < stream.size(); ++length) {
    SpbPicture decoded;
    Status status = Status::ok();
    EXPECT_FALSE((status = decodeSpb(std::span(stream.data(), length), decoded)).isOk()) << length;
    EXPECT_NE(status.reason(), Status::Reason::None);
    EXPECT_TRUE(decoded.pixels.empty());
  }
}

TEST(SpbDecoderTest, HugeHeaderOnShortStreamAllocatesNothing) {
  const Bytes stream = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
  SpbPicture decoded;
  Status status = Status::ok();
  EXPECT_FALSE((status = decodeSpb(stream, decoded)).isOk());
  EXPECT_EQ(decoded.pixels.capacity(), 0u);
}

// A 2 x 1 stream whose blue plane has the first value 0 and then `blueGroup`; green and
// red are 0 with one group of class 000.
Bytes twoByOneStream(const std::string& blueGroup) {
  std::string bits;
  appendBits(bits, 2, 16);
  appendBits(bits, 1, 16);
  bits += "00000000" + blueGroup + "00000000000" + "00000000000";
  return bitsToBytes(bits);
}

TEST(SpbDecoderTest, RefusesResidualLeavingByteRange) {
  SpbPicture decoded;
  Status status = Status::ok();
  ASSERT_TRUE((status = decodeSpb(twoByOneStream("11110100"
                                                 "0000"),
                                  decoded))
                  .isOk())
      << statusText(status);
  EXPECT_EQ(decoded.pixels, Bytes({0, 0, 0, 1, 0, 0}));
  // The folded residual 2: one below 0.
  EXPECT_FALSE((status = decodeSpb(twoByOneStream("11111000"
                                                  "0000"),
                                   decoded))
                   .isOk());
  EXPECT_EQ(status.code(), Status::Code::Corrupt);
  EXPECT_EQ(status.reason(), Status::Reason::SpbResidualOutOfRange);
}

TEST(SpbDecoderTest, RefusesWhatTheCoderNeverWrites) {
  // 32 + 3 * (8 + 3) bits: the last byte holds seven fill bits.
  const SpbPicture picture = pictureOf(2, 1, {1, 1, 1, 1, 1, 1});
  Bytes stream = encodeSpbToMemory(test::viewOf(picture));
  SpbPicture decoded;
  Status status = Status::ok();
  ASSERT_TRUE((status = decodeSpb(stream, decoded)).isOk()) << statusText(status);

  Bytes longer = stream;
  longer.push_back(0);
  EXPECT_FALSE((status = decodeSpb(longer, decoded)).isOk());

  Bytes dirtyFill = stream;
  dirtyFill.back() |= 0x01;
  EXPECT_FALSE((status = decodeSpb(dirtyFill, decoded)).isOk());

  EXPECT_FALSE((status = decodeSpb(Bytes({0, 0, 0, 1, 0, 0, 0}), decoded)).isOk());  // no pixels

  // A completing entry of 1 in the blue group.
  EXPECT_FALSE((status = decodeSpb(twoByOneStream("1110"
                                                  "1100"),
                                   decoded))
                   .isOk());
  EXPECT_EQ(status.reason(), Status::Reason::SpbCompletingNotZero);
}

}  // namespace
}  // namespace kupack
