#include "tests/bmp_builder.h"

#include <algorithm>
#include <random>

namespace kupack::test {
namespace {

void putLE16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLE32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  putLE16(out, value & 0xFFFF);
  putLE16(out, value >> 16);
}

std::size_t byteOfMask(std::uint32_t mask) {
  for (std::size_t i = 0; i < 4; ++i) {
    if ((mask >> (8 * i)) & 0xFF) return i;
  }
  return 0;
}

// One stored row of the file: picture row `row` in the layout's bit count, padded to 4 bytes.
void appendRow(std::vector<std::uint8_t>& out, const SpbPicture& picture, std::size_t row,
               const BmpLayout& layout, std::size_t& pixelIndex) {
  const std::size_t start = out.size();
  const std::uint8_t* values = picture.pixels.data() + row * picture.width * 3;
  if (layout.bitCount == 24) {
    out.insert(out.end(), values, values + picture.width * 3);
  } else if (layout.bitCount == 32) {
    std::array<std::size_t, 3> at = {0, 1, 2};  // blue, green, red
    if (layout.masks) {
      at = {byteOfMask((*layout.masks)[2]), byteOfMask((*layout.masks)[1]),
            byteOfMask((*layout.masks)[0])};
    }
    const std::size_t fourth = 6 - at[0] - at[1] - at[2];
    for (std::size_t x = 0; x < picture.width; ++x, ++pixelIndex) {
      std::array<std::uint8_t, 4> pixel{};
      for (std::size_t c = 0; c < 3; ++c) pixel[at[c]] = values[3 * x + c];
      pixel[fourth] = layout.fourthByte ? layout.fourthByte(pixelIndex) : 0;
      out.insert(out.end(), pixel.begin(), pixel.end());
    }
  } else {
    const std::size_t bytes = (std::size_t{layout.bitCount} * picture.width + 7) / 8;
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(values[i % (picture.width * 3)]);
  }
  while ((out.size() - start) % 4 != 0) out.push_back(layout.paddingByte);
}

}  // namespace

std::vector<std::uint8_t> makeBmp(const SpbPicture& picture, const BmpLayout& layout) {
  const bool masksAfterHeader = layout.masks && layout.infoSize == 40;
  const std::uint32_t headers = 14 + layout.infoSize + (masksAfterHeader ? 12 : 0);
  const std::uint32_t offset = headers + 4 * layout.colorsUsed + layout.gap;

  std::vector<std::uint8_t> file;
  file.push_back(static_cast<std::uint8_t>(layout.typeByte0));
  file.push_back('M');
  putLE32(file, 0);  // bfSize, patched below
  putLE32(file, 0);
  putLE32(file, layout.pixelOffset.value_or(offset));

  putLE32(file, layout.infoSize);
  putLE32(file, static_cast<std::uint32_t>(
                    layout.widthField.value_or(static_cast<std::int32_t>(picture.width))));
  const auto height = static_cast<std::int32_t>(picture.height);
  putLE32(file, static_cast<std::uint32_t>(layout.topDown ? -height : height));
  putLE16(file, 1);
  putLE16(file, layout.bitCount);
  putLE32(file, layout.compression);
  putLE32(file, 0);  // biSizeImage
  putLE32(file, 2835);
  putLE32(file, 2835);
  putLE32(file, layout.colorsUsed);
  putLE32(file, 0);
  if (layout.masks) {
    for (std::uint32_t mask : *layout.masks) putLE32(file, mask);
  }
  while (file.size() < headers) file.push_back(0);  // the rest of a larger header
  for (std::uint32_t i = 0; i < layout.colorsUsed; ++i) putLE32(file, i * 0x010101u);
  file.insert(file.end(), layout.gap, 0xA5);

  std::size_t pixelIndex = 0;
  for (std::size_t s = 0; s < picture.height; ++s) {
    const std::size_t row = layout.topDown ? s : picture.height - 1 - s;
    appendRow(file, picture, row, layout, pixelIndex);
  }
  file.insert(file.end(), layout.trailer.begin(), layout.trailer.end());
  const auto size = static_cast<std::uint32_t>(file.size());
  for (int i = 0; i < 4; ++i)
    file[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  file.resize(file.size() - std::min(layout.cutBytes, file.size()));
  return file;
}

SpbPicture randomPicture(std::uint32_t width, std::uint32_t height, unsigned seed, int noise) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> slope(-3, 3);
  std::uniform_int_distribution<int> base(0, 255);
  std::uniform_int_distribution<int> jitter(-noise, noise);
  SpbPicture picture;
  picture.width = width;
  picture.height = height;
  picture.pixels.resize(std::size_t{width} * height * 3);
  for (int c = 0; c < 3; ++c) {
    const int start = base(random);
    const int dx = slope(random);
    const int dy = slope(random);
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const int value =
            start + dx * static_cast<int>(x) + dy * static_cast<int>(y) + jitter(random);
        picture.pixels[(std::size_t{y} * width + x) * 3 + static_cast<std::size_t>(c)] =
            static_cast<std::uint8_t>(std::clamp(value & 0x1FF, 0, 255));
      }
    }
  }
  return picture;
}

SpbSource viewOf(const SpbPicture& picture) {
  return SpbSource{picture.width, picture.height, picture.pixels.data(),
                   static_cast<std::ptrdiff_t>(picture.width) * 3};
}

}  // namespace kupack::test
