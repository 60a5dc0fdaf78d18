#include "codec/bmp_writer.h"

#include <algorithm>
#include <vector>

#include "common/byte_order.h"
#include "common/checked_size.h"

namespace kupack {
namespace {

constexpr std::uint32_t PIXELS_PER_METRE = 2835;

Status tooLargeForBmp(std::uint32_t width, std::uint32_t height) {
  return Status::refused(Status::Reason::PictureTooLargeForBmp, {width, height});
}

Status rowsNotWritten() {
  return Status::fault(Status::Code::OutputError, Status::Reason::DecodedRowsNotWritten);
}

}  // namespace

std::uint64_t bmp24RowStride(std::uint64_t width) { return (width * 3 + 3) / 4 * 4; }

std::optional<std::uint32_t> bmp24FileSize(std::uint64_t width, std::uint64_t height) {
  if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu) return std::nullopt;
  const std::uint64_t stride = bmp24RowStride(width);
  if (height != 0 && stride > (0xFFFFFFFFu - BMP_HEADERS_SIZE) / height) return std::nullopt;
  // BMP widths and heights are signed 32-bit fields.
  if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(BMP_HEADERS_SIZE + stride * height);
}

std::array<std::uint8_t, BMP_HEADERS_SIZE> bmp24Headers(std::uint32_t width, std::uint32_t height) {
  std::array<std::uint8_t, BMP_HEADERS_SIZE> headers{};
  const auto imageSize = static_cast<std::uint32_t>(bmp24RowStride(width) * height);
  std::uint8_t* file = headers.data();
  file[0] = 'B';
  file[1] = 'M';
  storeLE32(file + 2, static_cast<std::uint32_t>(BMP_HEADERS_SIZE) + imageSize);  // bfSize
  storeLE32(file + 10, static_cast<std::uint32_t>(BMP_HEADERS_SIZE));             // bfOffBits
  std::uint8_t* info = file + 14;
  storeLE32(info + 0, 40);  // biSize
  storeLE32(info + 4, width);
  storeLE32(info + 8, height);
  storeLE16(info + 12, 1);   // biPlanes
  storeLE16(info + 14, 24);  // biBitCount
  storeLE32(info + 16, 0);   // biCompression: none
  storeLE32(info + 20, imageSize);
  storeLE32(info + 24, PIXELS_PER_METRE);
  storeLE32(info + 28, PIXELS_PER_METRE);
  // biClrUsed and biClrImportant stay 0.
  return headers;
}

Status writeBmp24(const SpbPicture& picture,
                  const std::function<bool(std::span<const std::uint8_t>)>& sink) {
  if (!bmp24FileSize(picture.width, picture.height)) {
    return tooLargeForBmp(picture.width, picture.height);
  }
  const std::size_t rowBytes = std::size_t{picture.width} * 3;
  const auto pixelBytes = pictureBytes(picture.width, picture.height, 3);
  if (!pixelBytes || picture.pixels.size() != *pixelBytes) {
    return Status::refused(Status::Reason::PicturePixelsMismatch);
  }
  const auto headers = bmp24Headers(picture.width, picture.height);
  if (!sink(headers)) return rowsNotWritten();
  std::vector<std::uint8_t> row(static_cast<std::size_t>(bmp24RowStride(picture.width)), 0);
  // The picture holds its rows top first; the file wants the bottom row first.
  for (std::size_t y = picture.height; y-- > 0;) {
    std::copy_n(picture.pixels.begin() + static_cast<std::ptrdiff_t>(y * rowBytes), rowBytes,
                row.begin());
    if (!sink(row)) return rowsNotWritten();
  }
  return Status::ok();
}

namespace {

// Passes each row on with the zero bytes that pad it to a whole number of words.
class PaddedRowSink final : public ByteSink {
 public:
  PaddedRowSink(ByteSink& file, std::size_t padding) : file_(file), padding_(padding) {}
  bool put(std::span<const std::uint8_t> row) override {
    static constexpr std::uint8_t ZEROS[3] = {};
    return file_.put(row) && file_.put(std::span(ZEROS, padding_));
  }

 private:
  ByteSink& file_;
  std::size_t padding_;
};

}  // namespace

Status writeBmp24(SpbRowDecoder& decoder, ByteSink& sink) {
  if (!bmp24FileSize(decoder.width(), decoder.height())) {
    return tooLargeForBmp(decoder.width(), decoder.height());
  }
  const auto headers = bmp24Headers(decoder.width(), decoder.height());
  if (!sink.put(headers)) return rowsNotWritten();
  const auto padding = static_cast<std::size_t>(bmp24RowStride(decoder.width()) -
                                                std::uint64_t{decoder.width()} * 3);
  PaddedRowSink rows(sink, padding);
  return decoder.writeRows(true, rows);
}

}  // namespace kupack
