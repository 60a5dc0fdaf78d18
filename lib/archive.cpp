// The public reading interface (include/kupack/archive.h) over the program's own archive
// reader and entry decoders: a thin translation of their types and Status into the
// public ones, so that the library reads exactly as `kupack -l/-x/-t` do.
#include "kupack/archive.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "archive/archive_reader.h"
#include "archive/entry_decoding.h"
#include "codec/bmp_writer.h"
#include "lib/failure_text.h"

namespace kupack {
namespace {

constexpr std::size_t CHUNK_SIZE = 1 << 20;

using Reason = Status::Reason;

[[noreturn]] void throwFailure(const Status& status) { throw Error(libraryFailureText(status)); }

void check(const Status& status) {
  if (!status) throwFailure(status);
}

// The decoders name the entry; the library's user is told the archive too.
void checkDecoded(const ArchiveReader& reader, Status status) {
  if (!status && status.path().empty()) status = std::move(status).inFile(reader.nativePath());
  check(status);
}

// A failure about `entry` of the archive `reader` reads.
[[noreturn]] void throwAtEntry(const ArchiveReader& reader, const std::string& entry,
                               Status status) {
  throwFailure(std::move(status).inFile(reader.nativePath()).atEntry(entry));
}

Entry publicEntry(const ArchiveEntry& entry) {
  Entry shown;
  shown.name = entry.name;
  shown.coding = static_cast<Coding>(entry.type);
  shown.offset = entry.offset;
  shown.storedSize = entry.storedSize;
  shown.sourceSize = entry.sourceSize;
  shown.duplicate = entry.duplicate;
  return shown;
}

// Runs `work` (the library's own steps, never the caller's sink), turning a failure to get
// memory (std::bad_alloc; std::length_error for a size beyond what a 32-bit process can
// address) into the Error the interface promises, naming the archive and `entry`.
template <typename Work>
auto withMemoryChecked(const ArchiveReader& reader, const std::string& entry, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  throwAtEntry(reader, entry, Status::fault(Status::Code::OutOfMemory, Reason::NoMemoryToDecode));
}

// Hands the decoders' pieces on to the caller's sink; whatever the sink throws is kept to
// be rethrown once the decoder has returned, so that it never passes through the decoder.
class ForwardingSink final : public ByteSink {
 public:
  explicit ForwardingSink(EntrySink& sink) : sink_(sink) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    try {
      sink_.write(bytes);
      return true;
    } catch (...) {
      thrown_ = std::current_exception();
      return false;
    }
  }
  void rethrowWhatTheSinkThrew() const {
    if (thrown_) std::rethrow_exception(thrown_);
  }

 private:
  EntrySink& sink_;
  std::exception_ptr thrown_;
};

class VectorEntrySink : public EntrySink {
 public:
  explicit VectorEntrySink(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  void write(std::span<const std::uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }

 private:
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace

void EntrySink::picture(const Picture& picture) {
  const auto fileSize = bmp24FileSize(picture.width, picture.height);
  const std::uint64_t rowBytes = std::uint64_t{picture.width} * 3;
  if (!fileSize) {
    throwFailure(Status::refused(Reason::PictureTooLargeForBmp, {picture.width, picture.height}));
  }
  if (picture.pixels.size() != rowBytes * picture.height) {
    throwFailure(Status::refused(Reason::PicturePixelsMismatch));
  }
  write(bmp24Headers(picture.width, picture.height));
  // The pixels are in memory, so a row's size (and any offset into them) fits a size_t.
  const auto rowSize = static_cast<std::size_t>(rowBytes);
  const std::vector<std::uint8_t> padding(
      static_cast<std::size_t>(bmp24RowStride(picture.width) - rowBytes), 0);
  // A BMP file with a positive height keeps its rows from the bottom up.
  for (std::uint32_t row = picture.height; row-- > 0;) {
    write(picture.pixels.subspan(std::size_t{row} * rowSize, rowSize));
    if (!padding.empty()) write(padding);
  }
}

struct Archive::State {
  ArchiveReader reader;
  std::vector<Entry> entries;
};

Archive::Archive(const std::string& path) try : state_(std::make_unique<State>()) {
  check(state_->reader.open(path));
  const auto& entries = state_->reader.entries();
  state_->entries.reserve(entries.size());
  for (const auto& entry : entries) state_->entries.push_back(publicEntry(entry));
} catch (const std::bad_alloc&) {
  throwFailure(Status::fault(Status::Code::OutOfMemory, Reason::NoMemoryForDirectory).inFile(path));
}

Archive::~Archive() = default;
Archive::Archive(Archive&&) noexcept = default;
Archive& Archive::operator=(Archive&&) noexcept = default;

const std::vector<Entry>& Archive::entries() const { return state_->entries; }

// The position of `entry` in this archive's entries: found at once for one of entries()
// themselves, by comparison for a copy; nullopt for an entry of another archive.
std::optional<std::size_t> Archive::indexOf(const Entry& entry) const {
  const auto& entries = state_->entries;
  const std::less<const Entry*> before;
  if (!entries.empty() && !before(&entry, entries.data()) &&
      before(&entry, entries.data() + entries.size())) {
    return static_cast<std::size_t>(&entry - entries.data());
  }
  const auto found = std::find_if(entries.begin(), entries.end(), [&entry](const Entry& mine) {
    return mine.offset == entry.offset && mine.storedSize == entry.storedSize &&
           mine.coding == entry.coding && mine.name == entry.name;
  });
  if (found == entries.end()) return std::nullopt;
  return static_cast<std::size_t>(found - entries.begin());
}

std::size_t Archive::checkedIndexOf(const Entry& entry) const {
  const auto index = indexOf(entry);
  if (!index) {
    throwAtEntry(state_->reader, entry.name, Status::refused(Reason::NotAnEntryOfArchive));
  }
  return *index;
}

void Archive::decode(const Entry& entry, EntrySink& sink) {
  ArchiveReader& reader = state_->reader;
  const ArchiveEntry& inner = reader.entries()[checkedIndexOf(entry)];
  if (inner.duplicate) {
    throwAtEntry(reader, inner.name, Status::refused(Reason::DuplicateEntry));
  }

  if (inner.type == ENTRY_STORED) {
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t done = 0; done < inner.storedSize;) {
      withMemoryChecked(reader, inner.name, [&] {
        chunk.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(CHUNK_SIZE, inner.storedSize - done)));
      });
      check(reader.readEntryBytes(inner, done, chunk));
      sink.write(chunk);
      done += chunk.size();
    }
    return;
  }
  if (inner.type == ENTRY_LZSS) {
    const std::vector<std::uint8_t> bytes = withMemoryChecked(reader, inner.name, [&] {
      std::vector<std::uint8_t> decoded;
      std::vector<std::uint8_t> stream(inner.storedSize);
      check(reader.readEntryBytes(inner, 0, stream));
      checkDecoded(reader, decodeLzssEntry(inner, stream, decoded));
      return decoded;
    });
    sink.write(bytes);
    return;
  }
  const SpbPicture picture = withMemoryChecked(reader, inner.name, [&] {
    SpbPicture decoded;
    std::vector<std::uint8_t> stream(inner.storedSize);
    check(reader.readEntryBytes(inner, 0, stream));
    checkDecoded(reader, decodeSpbEntry(inner, stream, decoded));
    return decoded;
  });
  sink.picture(Picture{picture.width, picture.height, picture.pixels});
}

std::vector<std::uint8_t> Archive::decode(const Entry& entry) {
  const ArchiveEntry& inner = state_->reader.entries()[checkedIndexOf(entry)];
  // Here the sink is the library's own vector, whose growth may fail as well.
  return withMemoryChecked(state_->reader, inner.name, [&] {
    std::vector<std::uint8_t> bytes;
    VectorEntrySink sink(bytes);
    decode(entry, sink);
    return bytes;
  });
}

void Archive::decodeInPieces(const Entry& entry, EntrySink& sink) {
  ArchiveReader& reader = state_->reader;
  const ArchiveEntry& inner = reader.entries()[checkedIndexOf(entry)];
  ForwardingSink pieces(sink);
  const Status status = decodeEntry(reader, inner, pieces);
  pieces.rethrowWhatTheSinkThrew();
  checkDecoded(reader, status);
}

}  // namespace kupack
