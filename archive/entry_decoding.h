// Turning an archive entry's stored bytes back into what they code: the file's bytes for
// LZSS entries, the picture for SPB entries. Checks each entry's sizes against what its
// stream can code before anything is allocated, so a hostile directory cannot make the
// reader reserve memory the data area does not justify.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive_reader.h"
#include "codec/spb_decoder.h"
#include "common/status.h"

namespace kupack {

// The most bytes an LZSS stream of `streamSize` bytes can code: every 13 bits a match
// of 17 bytes, plus one literal in what is left.
std::uint64_t maxLzssOutput(std::uint64_t streamSize);

// Width and height from the 4-byte header of an SPB stream, or nullopt when the stream
// is shorter than that.
struct SpbDimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
std::optional<SpbDimensions> spbDimensions(std::span<const std::uint8_t> stream);

// Decodes the LZSS entry `entry` from its stored bytes `stream` into exactly `sourceSize`
// bytes. The failure message (a whole console line) names the entry.
Status decodeLzssEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                       std::vector<std::uint8_t>& bytes);

// Decodes the SPB entry `entry` from its stored bytes `stream`; the picture then holds
// exactly width × height pixels. The failure message names the entry.
Status decodeSpbEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                      SpbPicture& picture);

}  // namespace kupack
