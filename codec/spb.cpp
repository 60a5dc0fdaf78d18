#include "codec/spb.h"

#include <cerrno>

#include "archive/file_holder.h"
#include "common/console.h"
#include "common/messages.h"

namespace kupack {
namespace {

// Collects the folded residuals and raw values of one plane, four at a time.
class GroupCollector {
 public:
  explicit GroupCollector(BitWriter& writer, std::uint32_t firstValue)
      : writer_(writer), previous_(firstValue) {}

  void add(std::uint32_t current) {
    residuals_[filled_] = foldResidual(previous_, current);
    rawValues_[filled_] = current;
    previous_ = current;
    if (++filled_ == 4) {
      encodeSpbGroup(writer_, residuals_, rawValues_);
      filled_ = 0;
    }
  }

  // Completes a partly filled last group with zero entries and codes it.
  void finish() {
    if (filled_ == 0) return;
    for (std::size_t i = filled_; i < 4; ++i) residuals_[i] = rawValues_[i] = 0;
    encodeSpbGroup(writer_, residuals_, rawValues_);
    filled_ = 0;
  }

 private:
  BitWriter& writer_;
  std::uint32_t previous_;
  std::size_t filled_ = 0;
  std::array<std::uint32_t, 4> residuals_{};
  std::array<std::uint32_t, 4> rawValues_{};
};

// Feeds `count` values of one channel, 3 * direction bytes apart, from `first` on.
inline void addRun(GroupCollector& groups, const std::uint8_t* first, std::size_t count,
                   std::ptrdiff_t direction) {
  const std::ptrdiff_t step = 3 * direction;
  for (const std::uint8_t* p = first; count > 0; --count, p += step) groups.add(*p);
}

void encodePlane(BitWriter& writer, const SpbSource& picture, std::size_t channel) {
  const std::size_t width = picture.width;
  const std::uint8_t* row = picture.topRow + channel;
  writer.putBits(row[0], 8);
  GroupCollector groups(writer, row[0]);
  // Scan row 0 runs forward from column 1; then the direction turns at every row end, so
  // each scan row starts below the pixel where the one above it ended.
  addRun(groups, row + 3, width - 1, +1);
  for (std::uint32_t r = 1; r < picture.height; ++r) {
    row += picture.stride;
    if (r % 2 == 0) {
      addRun(groups, row, width, +1);
    } else {
      addRun(groups, row + 3 * (width - 1), width, -1);
    }
  }
  groups.finish();
}

}  // namespace

void encodeSpbHeader(BitWriter& writer, const SpbSource& picture) {
  writer.putBits(picture.width, 16);
  writer.putBits(picture.height, 16);
}

void encodeSpbPlanes(BitWriter& writer, const SpbSource& picture) {
  for (std::size_t channel = 0; channel < 3; ++channel) encodePlane(writer, picture, channel);
}

std::vector<std::uint8_t> encodeSpbToMemory(const SpbSource& picture) {
  std::vector<std::uint8_t> stream;
  VectorSink sink(stream);
  {
    BitWriter writer(sink);
    encodeSpbHeader(writer, picture);
    encodeSpbPlanes(writer, picture);
    writer.flushBits();
  }
  return stream;
}

Status encodeSpbFile(const SpbSource& picture, const std::string& destinationPath) {
  FileHolder output;
  errno = 0;
  if (!output.open(destinationPath, "wb")) {
    return fileFailure(MSG_CANNOT_CREATE, destinationPath, errno);
  }
  FileSink sink(output);
  bool written = false;
  {
    BitWriter writer(sink);
    encodeSpbHeader(writer, picture);
    consoleWrite(MSG_TYPE_SPB);
    encodeSpbPlanes(writer, picture);
    written = writer.flushBits();
  }
  if (!written) return fileFailure(MSG_CANNOT_WRITE, destinationPath, sink.error());
  errno = 0;
  if (!output.close())
    return fileFailure(MSG_CANNOT_WRITE, destinationPath, errno != 0 ? errno : EIO);
  return Status::ok();
}

}  // namespace kupack
