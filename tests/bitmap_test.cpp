#include "codec/bitmap.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "app/status_text.h"
#include "codec/spb.h"
#include "codec/spb_decoder.h"
#include "tests/bmp_builder.h"

namespace kupack {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::BmpLayout;

class BitmapTest : public ::testing::Test {
 protected:
  // Parses a copy of `bytes`, kept as long as the test runs, as the picture views it.
  BitmapVerdict load(BitmapImage& image, const Bytes& bytes) {
    return image.parseBitmap(held_.emplace_back(bytes));
  }

  StoreReason storeReasonOf(const Bytes& bytes) {
    BitmapImage image;
    if (load(image, bytes) == BitmapVerdict::CodeAsSpb) return StoreReason::None;
    EXPECT_FALSE(image.isLoaded());
    return image.storeReason();
  }

  // The SPB stream of the file, or an empty vector when the loader refuses it.
  Bytes streamOf(const Bytes& bytes) {
    BitmapImage image;
    if (load(image, bytes) != BitmapVerdict::CodeAsSpb) return {};
    return encodeSpbToMemory(image.picture());
  }

  std::deque<Bytes> held_;
};

TEST_F(BitmapTest, PaletteCountFollowsBitCount) {
  const SpbPicture picture = test::randomPicture(3, 2, 1, 9);
  for (auto [bits, palette] :
       {std::pair{1, 2}, {4, 16}, {8, 256}, {16, 0}, {24, 0}, {32, 0}, {2, 0}, {0, 0}, {64, 0}}) {
    BmpLayout layout;
    layout.bitCount = static_cast<std::uint16_t>(bits);
    BitmapImage image;
    EXPECT_TRUE(image.readBitmapHeaders(test::makeBmp(picture, layout)));
    EXPECT_EQ(image.paletteCount(), palette) << bits;
    EXPECT_EQ(image.biBitCount(), bits);
    EXPECT_EQ(image.width(), 3);
    EXPECT_EQ(image.height(), 2);
    EXPECT_FALSE(image.isLoaded());
  }
}

TEST_F(BitmapTest, HeadersOfShortFilesCannotBeRead) {
  Bytes bytes = test::makeBmp(test::randomPicture(3, 2, 1, 9), {.bitCount = 8});
  bytes.resize(53);
  BitmapImage image;
  EXPECT_FALSE(image.readBitmapHeaders(bytes));
  EXPECT_EQ(image.paletteCount(), 0);
  EXPECT_EQ(storeReasonOf(bytes), StoreReason::UnreadableHeaders);
}

TEST_F(BitmapTest, LoadsExactlyThePixelRowsAfterTheHeaders) {
  // 3 x 2: rows of 9 bytes padded to 12, taken from offsets 54 to 77 and no further.
  const SpbPicture picture = test::randomPicture(3, 2, 2, 255);
  BmpLayout layout;
  layout.trailer = {1, 2, 3, 4, 5};
  const Bytes file = test::makeBmp(picture, layout);
  ASSERT_EQ(file.size(), 54u + 24u + 5u);
  BitmapImage image;
  ASSERT_EQ(load(image, file), BitmapVerdict::CodeAsSpb);
  ASSERT_TRUE(image.isLoaded());
  EXPECT_EQ(image.picture().width, 3u);
  EXPECT_EQ(image.picture().height, 2u);
  const Bytes stream = encodeSpbToMemory(image.picture());
  EXPECT_EQ(stream, encodeSpbToMemory(test::viewOf(picture)));
}

TEST_F(BitmapTest, FileRoundTripsThroughSpbCoderAndDecoder) {
  unsigned seed = 10;
  for (auto [width, height] : {std::pair{1u, 1u},
                               {1u, 7u},
                               {7u, 1u},
                               {2u, 3u},
                               {5u, 5u},
                               {6u, 4u},
                               {31u, 9u},
                               {100u, 75u}}) {
    for (bool topDown : {false, true}) {
      const SpbPicture picture = test::randomPicture(width, height, seed++, 40);
      BmpLayout layout;
      layout.topDown = topDown;
      BitmapImage image;
      ASSERT_EQ(load(image, test::makeBmp(picture, layout)), BitmapVerdict::CodeAsSpb);
      SpbPicture decoded;
      Status status = Status::ok();
      ASSERT_TRUE((status = decodeSpb(encodeSpbToMemory(image.picture()), decoded)).isOk())
          << statusText(status);
      EXPECT_EQ(decoded.width, width);
      EXPECT_EQ(decoded.height, height);
      EXPECT_EQ(decoded.pixels, picture.pixels) << width << "x" << height << " " << topDown;
    }
  }
}

TEST_F(BitmapTest, TopDownGivesTheSameStreamAsBottomUp) {
  const SpbPicture picture = test::randomPicture(9, 6, 3, 60);
  const Bytes bottomUp = streamOf(test::makeBmp(picture));
  ASSERT_FALSE(bottomUp.empty());
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.topDown = true})), bottomUp);
  // The header says 6, not -6.
  EXPECT_EQ(bottomUp[2], 0);
  EXPECT_EQ(bottomUp[3], 6);
}

TEST_F(BitmapTest, RowsAreReadFromPixelOffset) {
  const SpbPicture picture = test::randomPicture(5, 3, 4, 60);
  const Bytes expected = encodeSpbToMemory(test::viewOf(picture));
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.gap = 7})), expected);
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.infoSize = 108})), expected);
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.infoSize = 124, .gap = 3})), expected);
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.colorsUsed = 4})), expected);
}

TEST_F(BitmapTest, PixelOffsetIntoTheHeadersIsStored) {
  const SpbPicture picture = test::randomPicture(5, 3, 4, 60);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.pixelOffset = 0})), StoreReason::BadPixelOffset);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.pixelOffset = 50})),
            StoreReason::BadPixelOffset);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.infoSize = 108, .pixelOffset = 54})),
            StoreReason::BadPixelOffset);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.colorsUsed = 4, .pixelOffset = 60})),
            StoreReason::BadPixelOffset);
}

TEST_F(BitmapTest, ThirtyTwoBitWithoutAlphaIsCodedAsItsColours) {
  const SpbPicture picture = test::randomPicture(6, 5, 5, 80);
  const Bytes expected = encodeSpbToMemory(test::viewOf(picture));
  auto all = [](std::uint8_t value) { return [value](std::size_t) { return value; }; };
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.bitCount = 32})), expected);
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.bitCount = 32, .fourthByte = all(255)})), expected);
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.bitCount = 32, .topDown = true})), expected);

  // Bit fields: the usual masks after a 40-byte header and inside a larger one, and masks
  // that put the colours in other bytes.
  const std::array<std::uint32_t, 3> usual = {0x00FF0000, 0x0000FF00, 0x000000FF};
  const std::array<std::uint32_t, 3> reordered = {0x000000FF, 0xFF000000, 0x00FF0000};
  EXPECT_EQ(streamOf(test::makeBmp(picture, {.bitCount = 32, .compression = 3, .masks = usual})),
            expected);
  EXPECT_EQ(streamOf(test::makeBmp(
                picture, {.bitCount = 32, .compression = 3, .infoSize = 124, .masks = usual})),
            expected);
  EXPECT_EQ(
      streamOf(test::makeBmp(
          picture, {.bitCount = 32, .compression = 3, .masks = reordered, .fourthByte = all(255)})),
      expected);
}

TEST_F(BitmapTest, ThirtyTwoBitWithAlphaOrOtherMasksIsStored) {
  const SpbPicture picture = test::randomPicture(6, 5, 5, 80);
  auto lastDiffers = [](std::size_t i) -> std::uint8_t { return i == 29 ? 254 : 255; };
  auto all = [](std::uint8_t value) { return [value](std::size_t) { return value; }; };
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .fourthByte = lastDiffers})),
            StoreReason::Alpha);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .fourthByte = all(128)})),
            StoreReason::Alpha);
  const std::array<std::uint32_t, 3> tenBits = {0x3FF00000, 0x000FFC00, 0x000003FF};
  const std::array<std::uint32_t, 3> shared = {0x00FF0000, 0x00FF0000, 0x000000FF};
  EXPECT_EQ(
      storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .compression = 3, .masks = tenBits})),
      StoreReason::UnsupportedMasks);
  EXPECT_EQ(
      storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .compression = 3, .masks = shared})),
      StoreReason::UnsupportedMasks);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .compression = 1})),
            StoreReason::UnsupportedLayout);
}

TEST_F(BitmapTest, FilesSpbCannotHoldExactlyAreStored) {
  const SpbPicture picture = test::randomPicture(5, 3, 6, 60);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 16})), StoreReason::SixteenBit);
  EXPECT_EQ(storeReasonOf(test::makeBmp(
                picture, {.bitCount = 16, .compression = 3, .masks = {{0xF800, 0x7E0, 0x1F}}})),
            StoreReason::SixteenBit);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 8})), StoreReason::PaletteBitmap);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 2})),
            StoreReason::UnsupportedBitCount);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 0})),
            StoreReason::UnsupportedBitCount);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.compression = 1})),
            StoreReason::UnsupportedLayout);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.compression = 3})),
            StoreReason::UnsupportedLayout);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.infoSize = 12})),
            StoreReason::UnreadableHeaders);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.typeByte0 = 'X'})), StoreReason::NotBitmap);
}

TEST_F(BitmapTest, DimensionsOutsideTheStreamFieldsAreStored) {
  EXPECT_EQ(storeReasonOf(test::makeBmp(test::randomPicture(0, 3, 7, 0))),
            StoreReason::BadDimensions);
  EXPECT_EQ(storeReasonOf(test::makeBmp(test::randomPicture(3, 0, 7, 0))),
            StoreReason::BadDimensions);
  EXPECT_EQ(storeReasonOf(test::makeBmp(test::randomPicture(3, 2, 7, 0), {.widthField = -3})),
            StoreReason::BadDimensions);
  EXPECT_EQ(storeReasonOf(test::makeBmp(test::randomPicture(65536, 1, 7, 0))),
            StoreReason::BadDimensions);
  EXPECT_EQ(storeReasonOf(test::makeBmp(test::randomPicture(1, 65536, 7, 0), {.topDown = true})),
            StoreReason::BadDimensions);
  // The largest width the stream holds is coded.
  const SpbPicture widest = test::randomPicture(65535, 1, 7, 3);
  const Bytes stream = streamOf(test::makeBmp(widest));
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(stream[0], 0xFF);
  EXPECT_EQ(stream[1], 0xFF);
}

TEST_F(BitmapTest, TruncatedPixelRowsAreStored) {
  const SpbPicture picture = test::randomPicture(5, 3, 8, 60);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.cutBytes = 1})), StoreReason::TruncatedPixels);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.bitCount = 32, .cutBytes = 4})),
            StoreReason::TruncatedPixels);
  EXPECT_EQ(storeReasonOf(test::makeBmp(picture, {.gap = 1000, .cutBytes = 1})),
            StoreReason::TruncatedPixels);
  // Masks promised but the file ends after the 40-byte header.
  Bytes noMasks = test::makeBmp(
      picture, {.bitCount = 32, .compression = 3, .masks = {{0xFF0000, 0xFF00, 0xFF}}});
  noMasks.resize(60);
  EXPECT_EQ(storeReasonOf(noMasks), StoreReason::UnreadableHeaders);
}

TEST_F(BitmapTest, DamagedHeadersNeverLeadOutsideFileOrBlock) {
  // Random bytes written over the headers of valid files: every load ends in a verdict, and
  // a picture that loads is coded whole (the sanitizer build catches any stray read).
  std::mt19937 random(21);
  const SpbPicture picture = test::randomPicture(7, 5, 13, 30);
  const Bytes sources[] = {
      test::makeBmp(picture), test::makeBmp(picture, {.bitCount = 32}),
      test::makeBmp(picture,
                    {.bitCount = 32, .compression = 3, .masks = {{0xFF0000, 0xFF00, 0xFF}}}),
      test::makeBmp(picture, {.topDown = true, .infoSize = 124})};
  int coded = 0;
  for (int round = 0; round < 200; ++round) {
    Bytes file = sources[round % 4];
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) {
      file[random() % 70] = static_cast<std::uint8_t>(random());
    }
    BitmapImage image;
    if (load(image, file) == BitmapVerdict::CodeAsSpb) {
      ++coded;
      ASSERT_TRUE(image.isLoaded());
      SpbPicture decoded;
      Status status = Status::ok();
      ASSERT_TRUE((status = decodeSpb(encodeSpbToMemory(image.picture()), decoded)).isOk())
          << statusText(status);
      EXPECT_EQ(decoded.width, image.picture().width);
    } else {
      EXPECT_NE(image.storeReason(), StoreReason::None);
    }
  }
  EXPECT_GT(coded, 0);
}

TEST_F(BitmapTest, ReleaseAndReloadFreeWhatWasHeld) {
  BitmapImage image;
  image.releaseBitmap();  // empty: nothing happens
  const SpbPicture first = test::randomPicture(4, 4, 9, 20);
  const SpbPicture second = test::randomPicture(7, 2, 10, 20);
  ASSERT_EQ(load(image, test::makeBmp(first)), BitmapVerdict::CodeAsSpb);
  ASSERT_EQ(load(image, test::makeBmp(second)), BitmapVerdict::CodeAsSpb);
  EXPECT_EQ(encodeSpbToMemory(image.picture()), encodeSpbToMemory(test::viewOf(second)));
  image.releaseBitmap();
  EXPECT_FALSE(image.isLoaded());
  image.releaseBitmap();
  EXPECT_FALSE(image.isLoaded());
  // A header read releases a loaded picture too.
  ASSERT_EQ(load(image, test::makeBmp(first)), BitmapVerdict::CodeAsSpb);
  EXPECT_TRUE(image.readBitmapHeaders(test::makeBmp(second)));
  EXPECT_FALSE(image.isLoaded());
}

// The rows as a packing run reads them: by position from the file, a band at a time. Three
// bands of rows with padding, both row orders, 24 and 32 bits, bytes after the rows: the
// stream equals the picture's; an alpha byte in the last band stores the file; a file cut
// short is stored; a read that fails in the second band stops the coder.
TEST_F(BitmapTest, RowsReadABandAtATimeGiveThePicturesStream) {
  const SpbPicture picture = test::randomPicture(301, 700, 13, 40);
  ASSERT_GT(std::size_t{3} * 301 * 700, 2 * SPB_BAND_BYTES);
  const Bytes expected = encodeSpbToMemory(test::viewOf(picture));
  const auto codedFromRows = [](const Bytes& file, CodingResult& result) {
    SpanPositionedSource source(file);
    BitmapRows rows(source);
    Bytes stream;
    if (rows.inspect() != BitmapVerdict::CodeAsSpb) return stream;
    VectorSink sink(stream);
    result = encodeSpb(rows, sink);
    return stream;
  };
  for (const std::uint16_t bits : std::vector<std::uint16_t>{24, 32}) {
    for (bool topDown : {false, true}) {
      BmpLayout layout{.bitCount = bits, .topDown = topDown, .trailer = Bytes(100, 7)};
      CodingResult result = CodingResult::SinkFailed;
      EXPECT_EQ(codedFromRows(test::makeBmp(picture, layout), result), expected) << bits << topDown;
      EXPECT_EQ(result, CodingResult::Done);
    }
  }
  BmpLayout alphaAtTheTop{.bitCount = 32};
  alphaAtTheTop.fourthByte = [](std::size_t i) { return i + 1 == 301 * 700 ? 1 : 0; };
  const Bytes alpha = test::makeBmp(picture, alphaAtTheTop);
  SpanPositionedSource alphaSource(alpha);
  BitmapRows alphaRows(alphaSource);
  EXPECT_EQ(alphaRows.inspect(), BitmapVerdict::StoreUnchanged);
  EXPECT_EQ(alphaRows.image().storeReason(), StoreReason::Alpha);

  const Bytes cut = test::makeBmp(picture, {.cutBytes = 1});
  SpanPositionedSource cutSource(cut);
  BitmapRows cutRows(cutSource);
  EXPECT_EQ(cutRows.inspect(), BitmapVerdict::StoreUnchanged);
  EXPECT_EQ(cutRows.image().storeReason(), StoreReason::TruncatedPixels);

  // Every band is read from a stretch the file was asked to read ahead: a bottom-up file is
  // read from its end to its start, which a system's own read-ahead does not follow.
  class Recording final : public PositionedSource {
   public:
    explicit Recording(const Bytes& bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
      if (position >= 54 && (position < aheadStart || position + buffer.size() > aheadEnd))
        ++unannounced;
      return bytes_.read(position, buffer);
    }
    void willRead(std::uint64_t position, std::uint64_t length) override {
      aheadStart = position;
      aheadEnd = position + length;
    }
    std::uint64_t aheadStart = 0, aheadEnd = 0;
    int unannounced = 0;

   private:
    SpanPositionedSource bytes_;
  };
  const Bytes bottomUp = test::makeBmp(picture);
  Recording recording(bottomUp);
  BitmapRows announced(recording);
  ASSERT_EQ(announced.inspect(), BitmapVerdict::CodeAsSpb);
  Bytes again;
  VectorSink againSink(again);
  EXPECT_EQ(encodeSpb(announced, againSink), CodingResult::Done);
  EXPECT_EQ(again, expected);
  EXPECT_EQ(recording.unannounced, 0);

  // A source that fails after its first band: the coder stops with the source's failure.
  const Bytes file = test::makeBmp(picture);
  class FailingAfterOneBand final : public PositionedSource {
   public:
    explicit FailingAfterOneBand(const Bytes& bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
      return ++reads_ <= 2 && bytes_.read(position, buffer);  // the headers, one band
    }

   private:
    SpanPositionedSource bytes_;
    int reads_ = 0;
  } failing(file);
  BitmapRows rows(failing);
  ASSERT_EQ(rows.inspect(), BitmapVerdict::CodeAsSpb);
  Bytes stream;
  VectorSink sink(stream);
  EXPECT_EQ(encodeSpb(rows, sink), CodingResult::SourceFailed);
}

}  // namespace
}  // namespace kupack
