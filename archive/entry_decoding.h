// Turning an archive entry's stored bytes back into what they code: the file's bytes for
// LZSS entries, the picture (or its BMP file) for SPB entries. Entries are read from the
// archive and decoded in bounded pieces into a sink, so memory does not grow with what an
// entry claims; sizes are checked against what the stream can code before anything else,
// and running out of memory is a failure naming the entry, never an abort.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive_reader.h"
#include "codec/byte_stream.h"
#include "codec/lzss_decoder.h"
#include "codec/spb_decoder.h"
#include "common/status.h"

namespace kupack {

// Width and height from the 4-byte header of an SPB stream, or nullopt when the stream
// is shorter than that.
struct SpbDimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
std::optional<SpbDimensions> spbDimensions(std::span<const std::uint8_t> stream);

// An entry's stored bytes in an open archive, read on demand. A failed read keeps the
// reader's failure (a whole console line) in failure().
class ArchiveEntrySource final : public PositionedSource {
 public:
  ArchiveEntrySource(ArchiveReader& reader, const ArchiveEntry& entry)
      : reader_(reader), entry_(entry) {}
  std::uint64_t size() const override { return entry_.storedSize; }
  // Reads below READ_BLOCK bytes are served from the last few READ_BLOCK-aligned blocks of
  // the entry, each read in one piece: a decoder's many small reads (an SPB picture's
  // three planes, going up or down its rows) cost few reads of the archive.
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override;
  const Status& failure() const { return failure_; }

  static constexpr std::size_t READ_BLOCK = std::size_t{256} << 10;

 private:
  struct Block {
    std::uint64_t start = 0;
    std::vector<std::uint8_t> bytes;  // empty when unused
    std::uint64_t lastUse = 0;
  };
  const Block* blockAt(std::uint64_t position);

  ArchiveReader& reader_;
  const ArchiveEntry& entry_;
  Status failure_ = Status::ok();
  Block blocks_[4];
  std::uint64_t uses_ = 0;
};

// Hands `sink` the file that `entry` holds, as extraction writes it: a stored entry's
// bytes, an LZSS entry's decoded bytes, an SPB entry's picture as a 24-bit BMP file. A
// broken entry, a failed read or too little memory is a failure naming the entry; when the
// sink refuses a piece the failure says so, and the sink knows why. A stop request
// (common/stop_request.h) ends the decode early, as a failure that says so.
Status decodeEntry(ArchiveReader& reader, const ArchiveEntry& entry, ByteSink& sink);
// The same with the entry's stored bytes read from `stream` (for readers of their own).
Status decodeEntry(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink);

// Decodes the LZSS entry `entry` from `stream` into exactly `sourceSize` bytes handed to
// `sink`; bytes after the stream's last token (beyond its last partial byte) are a failure.
// The failure names the entry.
Status decodeLzssEntry(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink);

// Checks the SPB entry `entry` whose stream `stream` `decoder` reads: the whole stream is walked
// once; afterwards decoder.writeRows() gives the picture (and `pixels`, when given, holds it:
// see SpbRowDecoder::check). The failure names the entry.
Status checkSpbEntry(const ArchiveEntry& entry, PositionedSource& stream, SpbRowDecoder& decoder,
                     std::vector<std::uint8_t>* pixels = nullptr);

// The same for streams in memory, into a vector or a whole picture.
Status decodeLzssEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                       std::vector<std::uint8_t>& bytes);
Status decodeSpbEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                      SpbPicture& picture);

// `status`, a failure while `entry` was decoded, naming the entry.
Status entryFailure(const ArchiveEntry& entry, Status status);

}  // namespace kupack
