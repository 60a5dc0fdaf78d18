// Reading .kup archives from another program: open an archive, walk its entries and decode
// any of them into a sink of the caller's. Every archive is checked whole when it is
// opened; every failure is thrown as kupack::Error, whose text names the file and entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kupack {

// What went wrong, as one line of text naming the archive (and the entry, where one is
// concerned). File and entry names in it are UTF-8 (an entry name's bytes that are no code
// page 932 character kept as they are; control bytes shown as '?').
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How an entry's bytes are kept in the archive.
enum class Coding : std::uint8_t {
  stored = 0,  // the file's bytes unchanged
  spb = 1,     // a true-colour bitmap as an SPB image stream
  lzss = 2,    // a palette bitmap file as an LZSS stream
};

// One entry of the archive's directory.
struct Entry {
  // The name as recorded: code page 932 (Shift-JIS) bytes, lower case, '\' between folder
  // levels, no leading '\'.
  std::string name;
  Coding coding = Coding::stored;
  std::uint32_t offset = 0;      // where its bytes start, from the start of the data area
  std::uint32_t storedSize = 0;  // bytes it takes in the archive
  std::uint32_t sourceSize = 0;  // bytes of the file it was made from
  // A later entry of a name an earlier entry has. An archive should hold none; where one
  // does, the first entry of the name is the file (as for `kupack -x`, `-p` and the mount),
  // and decode() refuses the later ones.
  bool duplicate = false;
};

// A decoded SPB picture: `height` rows from the top down, `width` pixels each, three bytes
// per pixel in the order blue, green, red, without padding.
struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::span<const std::uint8_t> pixels;
};

// Receives a decoded entry. Stored and LZSS entries arrive as the file's bytes, in one or
// more pieces in order; an SPB entry arrives as its picture, which by default is handed on
// as the bytes of an uncompressed 24-bit BMP file (what `kupack -x` writes for it).
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  virtual void write(std::span<const std::uint8_t> bytes) = 0;
  virtual void picture(const Picture& picture);
};

// An open archive. The file stays open for decoding until the Archive is destroyed; an
// Archive moved from may only be destroyed or assigned to.
class Archive {
 public:
  // Opens the file at `path` (the system's own path bytes on POSIX; UTF-8 on Windows,
  // whatever its ANSI code page) and checks its header and directory; throws Error when it
  // cannot be read or breaks the format.
  explicit Archive(const std::string& path);
  ~Archive();
  Archive(Archive&&) noexcept;
  Archive& operator=(Archive&&) noexcept;

  // The entries in directory order.
  const std::vector<Entry>& entries() const;

  // Decodes `entry`, one of this archive's entries() or a copy of one, into `sink`. Throws Error
  // for a duplicate entry, when its bytes cannot be read or do not decode to its recorded
  // size, or when the memory to decode it cannot be had (a coded entry is decoded whole
  // before the sink sees it); the sink may then have received the first pieces of a stored
  // entry, but never any of a coded one.
  void decode(const Entry& entry, EntrySink& sink);

  // Decodes `entry` into memory: the file's bytes, or the BMP file of an SPB picture. An entry
  // too large for the memory there is (a picture of 19307 x 19307 pixels takes over 1 GiB)
  // throws Error; decodeInPieces() needs no more than a few MiB for any entry.
  std::vector<std::uint8_t> decode(const Entry& entry);

  // Decodes `entry` into `sink` in bounded pieces, reading the archive as it goes, so that
  // memory does not grow with the entry: the file's bytes, or an SPB picture as its 24-bit
  // BMP file, all through sink.write() (picture() is never called). Throws Error when the
  // entry cannot be read or does not decode; since nothing is held back, the sink may by
  // then have received pieces of any coding, which the caller should discard. An exception
  // thrown by the sink ends the decoding and comes out as it was thrown.
  void decodeInPieces(const Entry& entry, EntrySink& sink);

 private:
  struct State;
  std::optional<std::size_t> indexOf(const Entry& entry) const;
  std::size_t checkedIndexOf(const Entry& entry) const;
  std::unique_ptr<State> state_;
};

}  // namespace kupack
