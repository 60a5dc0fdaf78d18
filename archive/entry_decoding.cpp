#include "archive/entry_decoding.h"

#include <algorithm>
#include <new>
#include <string>

#include "codec/bmp_writer.h"
#include "common/byte_order.h"
#include "common/checked_size.h"
#include "common/stop_request.h"

namespace kupack {
namespace {

using Reason = Status::Reason;

constexpr std::size_t COPY_PIECE = std::size_t{1} << 20;

Status noMemory(const ArchiveEntry& entry) {
  return entryFailure(entry, Status::fault(Status::Code::OutOfMemory, Reason::NoMemoryToDecode));
}

// The entry's stored bytes and the decoded bytes, each read and each piece refused once a
// stop is requested. Reads are at most 64 KiB and pieces at most a row of a picture or
// 1 MiB, so a decode notices a stop within a few MiB of work, whatever the entry.
class StoppableSource final : public PositionedSource {
 public:
  StoppableSource(PositionedSource& inner, bool& stopped) : inner_(inner), stopped_(stopped) {}
  std::uint64_t size() const override { return inner_.size(); }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    if (stopRequested()) stopped_ = true;
    return !stopped_ && inner_.read(position, buffer);
  }
  void willRead(std::uint64_t position, std::uint64_t length) override {
    inner_.willRead(position, length);
  }
  PositionedSource& inner() const { return inner_; }

 private:
  PositionedSource& inner_;
  bool& stopped_;
};

class StoppableSink final : public ByteSink {
 public:
  StoppableSink(ByteSink& inner, bool& stopped) : inner_(inner), stopped_(stopped) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (stopRequested()) stopped_ = true;
    return !stopped_ && inner_.put(bytes);
  }

 private:
  ByteSink& inner_;
  bool& stopped_;
};

// The failure of a decoder whose source is an archive entry: the reader's own failure
// when the archive could not be read, else the decoder's, at the entry.
Status decodingFailure(const ArchiveEntry& entry, PositionedSource& stream, Status what) {
  if (auto* stoppable = dynamic_cast<StoppableSource*>(&stream))
    return decodingFailure(entry, stoppable->inner(), std::move(what));
  if (auto* source = dynamic_cast<ArchiveEntrySource*>(&stream); source && !source->failure()) {
    return source->failure();
  }
  return entryFailure(entry, std::move(what));
}

Status copyStoredEntry(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink) {
  std::vector<std::uint8_t> piece(
      static_cast<std::size_t>(std::min<std::uint64_t>(COPY_PIECE, entry.storedSize)));
  for (std::uint64_t done = 0; done < entry.storedSize;) {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), entry.storedSize - done));
    const std::span<std::uint8_t> chunk(piece.data(), length);
    if (!stream.read(done, chunk)) {
      return decodingFailure(entry, stream,
                             Status::fault(Status::Code::CannotRead, Reason::EntryUnreadable));
    }
    if (!sink.put(chunk)) {
      return entryFailure(entry,
                          Status::fault(Status::Code::OutputError, Reason::CopiedBytesNotWritten));
    }
    done += length;
  }
  return Status::ok();
}

// The size of a picture decoded in one pass into memory; larger ones are walked once to be
// checked and again for their rows, holding a row at a time.
constexpr std::uint64_t ONE_PASS_PICTURE = std::uint64_t{16} << 20;

// Whether the picture's header says its pixels fit ONE_PASS_PICTURE (false for a stream
// too short to hold a header, which the decoder then refuses). False when the header cannot
// be read, with `unreadable` set: a failed read is the entry's failure, never read again.
bool fitsOnePass(PositionedSource& stream, bool& unreadable) {
  unreadable = false;
  std::uint8_t header[4] = {};
  if (stream.size() < sizeof header) return false;
  if (!stream.read(0, header)) {
    unreadable = true;
    return false;
  }
  const auto bytes = pictureBytes(loadBE16(header), loadBE16(header + 2), 3);
  return bytes && *bytes <= ONE_PASS_PICTURE;
}

Status writeSpbEntryAsBmp(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink) {
  SpbRowDecoder decoder(stream);
  bool unreadable = false;
  const bool onePass = fitsOnePass(stream, unreadable);
  if (unreadable) {
    return decodingFailure(entry, stream,
                           Status::fault(Status::Code::CannotRead, Reason::EntryUnreadable));
  }
  if (onePass) {
    SpbPicture picture;
    if (Status status = checkSpbEntry(entry, stream, decoder, &picture.pixels); !status) {
      return status;
    }
    picture.width = decoder.width();
    picture.height = decoder.height();
    if (Status status = writeBmp24(
            picture, [&sink](std::span<const std::uint8_t> piece) { return sink.put(piece); });
        !status) {
      return decodingFailure(entry, stream, std::move(status));
    }
    return Status::ok();
  }
  if (Status status = checkSpbEntry(entry, stream, decoder); !status) return status;
  if (Status status = writeBmp24(decoder, sink); !status) {
    return decodingFailure(entry, stream, std::move(status));
  }
  return Status::ok();
}

Status decodeEntryAsFile(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink) {
  try {
    switch (entry.type) {
      case ENTRY_STORED:
        return copyStoredEntry(entry, stream, sink);
      case ENTRY_LZSS:
        return decodeLzssEntry(entry, stream, sink);
      case ENTRY_SPB:
        return writeSpbEntryAsBmp(entry, stream, sink);
    }
    return entryFailure(entry, Status::corrupt(Reason::UnknownEntryType));
  } catch (const std::bad_alloc&) {
    return noMemory(entry);
  }
}

}  // namespace

Status entryFailure(const ArchiveEntry& entry, Status status) {
  return std::move(status).atEntry(entry.name);
}

std::optional<SpbDimensions> spbDimensions(std::span<const std::uint8_t> stream) {
  if (stream.size() < 4) return std::nullopt;
  SpbDimensions dimensions;
  dimensions.width = loadBE16(stream.data());
  dimensions.height = loadBE16(stream.data() + 2);
  return dimensions;
}

const ArchiveEntrySource::Block* ArchiveEntrySource::blockAt(std::uint64_t position) {
  const std::uint64_t start = position - position % READ_BLOCK;
  Block* chosen = &blocks_[0];
  for (Block& block : blocks_) {
    if (!block.bytes.empty() && block.start == start) {
      block.lastUse = ++uses_;
      return &block;
    }
    if (block.lastUse < chosen->lastUse) chosen = &block;
  }
  chosen->bytes.resize(
      static_cast<std::size_t>(std::min<std::uint64_t>(READ_BLOCK, entry_.storedSize - start)));
  failure_ = reader_.readEntryBytes(entry_, start, chosen->bytes);
  if (!failure_) {
    chosen->bytes.clear();
    return nullptr;
  }
  chosen->start = start;
  chosen->lastUse = ++uses_;
  return chosen;
}

bool ArchiveEntrySource::read(std::uint64_t position, std::span<std::uint8_t> buffer) {
  if (buffer.size() >= READ_BLOCK || position > entry_.storedSize ||
      buffer.size() > entry_.storedSize - position) {
    failure_ = reader_.readEntryBytes(entry_, position, buffer);  // names a bad range
    return failure_.isOk();
  }
  while (!buffer.empty()) {
    const Block* block = blockAt(position);
    if (block == nullptr) return false;
    const auto from = static_cast<std::size_t>(position - block->start);
    const std::size_t length = std::min(buffer.size(), block->bytes.size() - from);
    std::copy_n(block->bytes.begin() + static_cast<std::ptrdiff_t>(from), length, buffer.begin());
    buffer = buffer.subspan(length);
    position += length;
  }
  return true;
}

Status decodeEntry(ArchiveReader& reader, const ArchiveEntry& entry, ByteSink& sink) {
  ArchiveEntrySource stream(reader, entry);
  return decodeEntry(entry, stream, sink);
}

Status decodeEntry(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink) {
  bool stopped = false;
  StoppableSource stoppableStream(stream, stopped);
  StoppableSink stoppableSink(sink, stopped);
  Status status = decodeEntryAsFile(entry, stoppableStream, stoppableSink);
  if (stopped) return entryFailure(entry, Status::refused(Reason::Stopped));
  return status;
}

Status decodeLzssEntry(const ArchiveEntry& entry, PositionedSource& stream, ByteSink& sink) {
  if (entry.sourceSize > maxLzssOutput(stream.size())) {
    return entryFailure(
        entry, Status::corrupt(Reason::LzssSourceTooLarge,
                               {entry.sourceSize, stream.size(), maxLzssOutput(stream.size())}));
  }
  try {
    LzssDecoded decoded;
    if (Status status = decodeLzss(stream, entry.sourceSize, sink, decoded); !status) {
      return decodingFailure(entry, stream, std::move(status));
    }
    if (decoded.bytesUsed != stream.size()) {
      return entryFailure(entry,
                          Status::corrupt(Reason::LzssTrailingBytes,
                                          {stream.size() - decoded.bytesUsed, decoded.bytesUsed}));
    }
  } catch (const std::bad_alloc&) {
    return noMemory(entry);
  }
  return Status::ok();
}

Status checkSpbEntry(const ArchiveEntry& entry, PositionedSource& stream, SpbRowDecoder& decoder,
                     std::vector<std::uint8_t>* pixels) {
  if (stream.size() < 4) {
    return entryFailure(entry, Status::corrupt(Reason::SpbShorterThanHeader, {stream.size()}));
  }
  try {
    if (Status status = decoder.check(pixels); !status) {
      return decodingFailure(entry, stream, std::move(status));
    }
  } catch (const std::bad_alloc&) {
    return noMemory(entry);
  }
  return Status::ok();
}

Status decodeLzssEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                       std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  SpanPositionedSource source(stream);
  VectorSink sink(bytes);
  Status status = decodeLzssEntry(entry, source, sink);
  if (!status) bytes.clear();
  return status;
}

Status decodeSpbEntry(const ArchiveEntry& entry, std::span<const std::uint8_t> stream,
                      SpbPicture& picture) {
  picture = SpbPicture{};
  if (!spbDimensions(stream)) {
    return entryFailure(entry, Status::corrupt(Reason::SpbShorterThanHeader, {stream.size()}));
  }
  try {
    if (Status status = decodeSpb(stream, picture); !status) {
      picture = SpbPicture{};
      return entryFailure(entry, std::move(status));
    }
  } catch (const std::bad_alloc&) {
    picture = SpbPicture{};
    return noMemory(entry);
  }
  return Status::ok();
}

}  // namespace kupack
