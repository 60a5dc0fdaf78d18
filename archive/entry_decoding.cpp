#include "archive/entry_decoding.h"

#include <string>

#include "codec/lzss_decoder.h"
#include "common/console.h"

namespace kupack {
namespace {

using ull = unsigned long long;

Status entryFailure(const ArchiveEntry& entry, const std::string& problem) {
  return Status::failed(entryNameForConsole(entry.name) + ": " + problem + "\n");
}

}  // namespace

std::uint64_t maxLzssOutput(std::uint64_t streamSize) {
  const std::uint64_t bits = streamSize * 8;
  return bits / 13 * 17 + (bits % 13 >= 9 ? 1 : 0);
}

std::optional<SpbDimensions> spbDimensions(std::span<const std::uint8_t> stream) {
  if (stream.size() < 4) return std::nullopt;
  SpbDimensions dimensions;
  dimensions.width = static_cast<std::uint32_t>((stream[0] << 8) | stream[1]);
  dimensions.height = static_cast<std::uint32_t>((stream[2] << 8) | stream[3]);
  return dimensions;
}

Status decodeLzssEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                       std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (entry.sourceSize > maxLzssOutput(stream.size())) {
    return entryFailure(entry, formatText("its source size %llu is more than its %llu-byte LZSS "
                                          "stream can code (at most %llu)",
                                          ull{entry.sourceSize}, ull{stream.size()},
                                          ull{maxLzssOutput(stream.size())}));
  }
  std::string error;
  if (!decodeLzss(stream, entry.sourceSize, bytes, error)) {
    bytes.clear();
    return entryFailure(entry, "broken LZSS stream (" + error + ")");
  }
  if (bytes.size() != entry.sourceSize) {
    const auto produced = bytes.size();
    bytes.clear();
    return entryFailure(entry, formatText("LZSS stream gave %llu bytes instead of %llu",
                                          ull{produced}, ull{entry.sourceSize}));
  }
  return Status::ok();
}

Status decodeSpbEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                      SpbPicture& picture) {
  picture = SpbPicture{};
  if (!spbDimensions(stream)) {
    return entryFailure(entry, formatText("its SPB stream of %llu bytes is shorter than its "
                                          "4-byte header",
                                          ull{stream.size()}));
  }
  std::string error;
  if (!decodeSpb(stream, picture, error)) {
    picture = SpbPicture{};
    return entryFailure(entry, "broken SPB stream (" + error + ")");
  }
  const auto dimensions = *spbDimensions(stream);
  if (picture.width != dimensions.width || picture.height != dimensions.height ||
      picture.pixels.size() != std::uint64_t{dimensions.width} * dimensions.height * 3) {
    picture = SpbPicture{};
    return entryFailure(entry, formatText("the SPB stream's picture does not match its %llu x "
                                          "%llu header",
                                          ull{dimensions.width}, ull{dimensions.height}));
  }
  return Status::ok();
}

}  // namespace kupack
