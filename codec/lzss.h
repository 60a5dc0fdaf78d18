// The modified LZSS coder of palette bitmaps: a 256-byte ring whose first 239 slots start
// as spaces, a 239-byte reach, matches of 2 to 17 bytes named by ring slot. The whole
// source is coded as plain bytes; the stream has no header and no end marker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/status.h"

namespace kupack {

// The stream's fixed choices, shared by the coder and the decoder. Positions count from the
// first of 239 fill spaces, which the source follows; a match names where it starts by that
// position modulo 256 (its ring slot).
inline constexpr std::int32_t LZSS_INITIAL_FILL = 239;
inline constexpr std::uint8_t LZSS_FILL_BYTE = 0x20;
inline constexpr std::int32_t LZSS_REACH = 239;  // a match starts 1 to 239 bytes back
inline constexpr std::int32_t LZSS_MIN_MATCH = 2;
inline constexpr std::int32_t LZSS_MAX_MATCH = 17;

// Codes the file at `sourcePath` into a new file at `destinationPath` (both native paths),
// printing the type line and the progress lines. A source or destination that cannot be
// opened, or a source that cannot be read, is a failure naming the file; a failed write is
// Status::outputError().
Status encodeLzss(const std::string& sourcePath, const std::string& destinationPath);

// Where the coder takes its bytes from. read() places up to `buffer.size()` bytes at the
// front of `buffer` and sets `count` to their number; a count of 0 means the end.
class LzssInput {
 public:
  virtual ~LzssInput() = default;
  virtual Status read(std::span<std::uint8_t> buffer, std::size_t& count) = 0;
};

// Where the coder puts the stream. A failed write ends the coding with that Status.
class LzssOutput {
 public:
  virtual ~LzssOutput() = default;
  virtual Status write(std::span<const std::uint8_t> bytes) = 0;
};

// Bytes read per refill of the coder's window, kept within LZSS_MIN_BLOCK..LZSS_MAX_BLOCK.
// Each refill is a stretch that two threads share; at its end one waits for the other, so
// the default is large enough for that to be rare (the coder's buffers take about four
// times it).
inline constexpr std::size_t LZSS_DEFAULT_BLOCK = std::size_t{1} << 22;
inline constexpr std::size_t LZSS_MIN_BLOCK = 4096;
inline constexpr std::size_t LZSS_MAX_BLOCK = std::size_t{1} << 26;

// The coder itself: prints the type line, codes everything `input` gives into `output`
// and prints a progress line before every 5000th token, against `totalSize` (the size the
// file system reported; it serves only the percentage). `blockSize` changes how much is
// read at a time, never the stream. Each call has its own state, so calls may overlap; a
// call may borrow the process's one helper thread for stretches of the source (when it is
// free and a second core exists), which changes only the speed and when the progress lines
// appear, never the stream or the lines.
Status lzssCompress(LzssInput& input, LzssOutput& output, std::uint64_t totalSize,
                    std::size_t blockSize = LZSS_DEFAULT_BLOCK);

// An input over bytes in memory, which must outlive it.
class MemoryLzssInput final : public LzssInput {
 public:
  explicit MemoryLzssInput(std::span<const std::uint8_t> bytes) : rest_(bytes) {}
  Status read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    count = buffer.size() < rest_.size() ? buffer.size() : rest_.size();
    if (count != 0) std::memcpy(buffer.data(), rest_.data(), count);
    rest_ = rest_.subspan(count);
    return Status::ok();
  }

 private:
  std::span<const std::uint8_t> rest_;
};

// An output that appends the stream to a vector.
class VectorLzssOutput final : public LzssOutput {
 public:
  explicit VectorLzssOutput(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  Status write(std::span<const std::uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return Status::ok();
  }

 private:
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace kupack
