#include "codec/lzss.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>

#include "archive/file_holder.h"
#include "common/console.h"
#include "common/messages.h"

namespace kupack {
namespace {

// The stream's fixed choices. Positions below are indices into a virtual sequence of the
// 239 fill spaces followed by the source; a match names its start by that index modulo 256.
constexpr std::int32_t INITIAL_FILL = 239;
constexpr std::int32_t REACH = 239;  // a match starts 1 to 239 bytes before the coded byte
constexpr std::int32_t MAX_MATCH = 17;
constexpr std::uint32_t PROGRESS_INTERVAL = 5000;
constexpr std::uint8_t FILL_BYTE = 0x20;

// The progress line shows how much of the source a 512-byte window has taken in when the
// coding position sits at window index 239..494: the source up to 273 bytes beyond the start
// of the current 256-byte step.
constexpr std::uint64_t WINDOW_LOOKAHEAD = 273;

// Our own window is far larger and is refilled in blocks. On a shift it keeps 256 bytes
// behind the coding position (more than the reach; a multiple of 256, so every byte keeps its
// ring slot as its index modulo 256). Tokens are only coded while 512 loaded bytes lie ahead
// (more than a match and more than the progress figure needs), until the source has ended.
constexpr std::int32_t KEEP_BEHIND = 256;
constexpr std::int32_t KEEP_AHEAD = 512;
constexpr std::size_t WINDOW_SLACK = 32;  // readable bytes past the data for word compares

constexpr std::size_t OUTPUT_BLOCK = 64 * 1024;
constexpr std::size_t OUTPUT_SLACK = 16;

constexpr std::int32_t NO_POSITION = -(1 << 30);  // "never seen": farther than any reach

std::uint64_t load64(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Index of the first differing byte in memory order, given the XOR of two loaded words.
std::int32_t firstDifferentByte(std::uint64_t difference) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::countr_zero(difference) >> 3;
  } else {
    return std::countl_zero(difference) >> 3;
  }
}

// Number of equal bytes at `earlier` and `current`, at most `limit` (2..17). Both may run
// into bytes past the valid data; the cap makes those irrelevant.
std::int32_t matchLength(const std::uint8_t* earlier, const std::uint8_t* current,
                         std::int32_t limit) {
  std::uint64_t difference = load64(earlier) ^ load64(current);
  if (difference != 0) return std::min(firstDifferentByte(difference), limit);
  if (limit <= 8) return limit;
  difference = load64(earlier + 8) ^ load64(current + 8);
  if (difference != 0) return std::min(8 + firstDifferentByte(difference), limit);
  if (limit <= 16) return limit;
  return earlier[16] == current[16] ? 17 : 16;
}

struct Match {
  std::int32_t start = 0;   // window index of the earlier copy
  std::int32_t length = 1;  // 1: no match, code a literal
};

// One coding run. The search finds exactly the match an exhaustive scan of all 239
// candidates finds (longest, nearest among equal lengths) through chains of earlier
// positions that share the next two bytes: `head_` holds the latest position of every
// byte pair, `link_` (indexed by position modulo 256) the distance back to the previous
// position with the same pair, 0 when that lies out of reach. Chains are visited nearest
// first, a candidate is only measured when it agrees at the byte that would make it
// longer than the best so far, and the walk stops at the first candidate that reaches the
// limit: no farther one can beat it.
class LzssEncoder {
 public:
  LzssEncoder(LzssInput& input, LzssOutput& output, std::uint64_t totalSize,
              std::size_t blockSize)
      : input_(input),
        output_(output),
        totalSize_(totalSize),
        capacity_(static_cast<std::int32_t>(2 * KEEP_AHEAD + windowBlock(totalSize, blockSize))),
        window_(static_cast<std::size_t>(capacity_) + WINDOW_SLACK),
        head_(std::size_t{1} << 16, NO_POSITION),
        out_(OUTPUT_BLOCK + OUTPUT_SLACK) {
    outPos_ = out_.data();
  }

  Status run() {
    consoleWrite(MSG_TYPE_LZSS);
    std::fill_n(window_.begin(), INITIAL_FILL, FILL_BYTE);
    if (Status status = fill(); !status) return status;
    if (end_ > INITIAL_FILL) {
      // The fill spaces are candidates from the first token on.
      for (std::int32_t p = 0; p < INITIAL_FILL; ++p) insert(p);
    }
    for (;;) {
      const std::int32_t stop = inputEnded_ ? end_ : end_ - KEEP_AHEAD;
      if (Status status = codeTokens(stop); !status) return status;
      if (inputEnded_) break;
      shiftWindow();
      if (Status status = fill(); !status) return status;
    }
    return finishOutput();
  }

 private:
  // Small sources get a small window; the block size never changes the stream.
  static std::size_t windowBlock(std::uint64_t totalSize, std::size_t blockSize) {
    const std::size_t block = std::max(blockSize, LZSS_MIN_BLOCK);
    if (totalSize + 1 < block) return std::max(static_cast<std::size_t>(totalSize + 1), LZSS_MIN_BLOCK);
    return block;
  }

  // Reads until the window is full or the input has ended.
  Status fill() {
    while (!inputEnded_ && end_ < capacity_) {
      const auto room = static_cast<std::size_t>(capacity_ - end_);
      std::size_t count = 0;
      if (Status status = input_.read({window_.data() + end_, room}, count); !status) {
        return status;
      }
      if (count == 0) {
        inputEnded_ = true;
        break;
      }
      count = std::min(count, room);
      end_ += static_cast<std::int32_t>(count);
      sourceLoaded_ += count;
    }
    return Status::ok();
  }

  // Drops coded bytes that lie out of reach, keeping ring slots (shift multiple of 256).
  void shiftWindow() {
    const std::int32_t shift = (position_ - KEEP_BEHIND) & ~0xFF;
    if (shift <= 0) return;
    std::memmove(window_.data(), window_.data() + shift, static_cast<std::size_t>(end_ - shift));
    position_ -= shift;
    end_ -= shift;
    base_ += static_cast<std::uint64_t>(shift);
    for (std::int32_t& latest : head_) latest = std::max(latest - shift, NO_POSITION);
  }

  std::uint32_t pairAt(std::int32_t p) const {
    return static_cast<std::uint32_t>(window_[p]) | static_cast<std::uint32_t>(window_[p + 1]) << 8;
  }

  // Enters position `p` at the head of its pair's chain; returns the previous head.
  std::int32_t insert(std::int32_t p) {
    std::int32_t& latest = head_[pairAt(p)];
    const std::int32_t previous = latest;
    latest = p;
    const std::int32_t distance = p - previous;
    link_[static_cast<std::uint8_t>(p)] =
        distance <= REACH ? static_cast<std::uint8_t>(distance) : std::uint8_t{0};
    return previous;
  }

  // Enters the coding position into the chains and finds its match.
  Match findMatch(std::int32_t limit) {
    const std::int32_t pos = position_;
    std::int32_t candidate = insert(pos);
    if (limit < 2 || pos - candidate > REACH) return {};
    if (limit == 2) return {candidate, 2};
    const std::uint8_t* const window = window_.data();
    const std::uint8_t* const current = window + pos;
    Match best{candidate, 1};
    for (;;) {
      if (window[candidate + best.length] == current[best.length]) {
        const std::int32_t length = matchLength(window + candidate, current, limit);
        if (length > best.length) {
          best = {candidate, length};
          if (length == limit) break;
        }
      }
      const std::uint8_t step = link_[static_cast<std::uint8_t>(candidate)];
      if (step == 0) break;
      candidate -= step;
      if (pos - candidate > REACH) break;
    }
    return best;
  }

  // Codes tokens while the coding position lies below `stop`.
  Status codeTokens(std::int32_t stop) {
    while (position_ < stop) {
      if (++progressCounter_ == PROGRESS_INTERVAL) {
        progressCounter_ = 0;
        printProgress();
      }
      const Match match = findMatch(std::min(MAX_MATCH, end_ - position_));
      if (match.length >= 2) {
        putBits(13, static_cast<std::uint32_t>((match.start & 0xFF) << 4 | (match.length - 2)));
        const std::int32_t next = position_ + match.length;
        for (std::int32_t p = position_ + 1; p < next; ++p) insert(p);
        position_ = next;
      } else {
        putBits(9, 0x100u | window_[position_]);
        ++position_;
      }
      if (outPos_ >= out_.data() + OUTPUT_BLOCK) {
        if (Status status = flushOutput(); !status) return status;
      }
    }
    return Status::ok();
  }

  void printProgress() const {
    const std::uint64_t step = (base_ + static_cast<std::uint64_t>(position_) - INITIAL_FILL) >> 8;
    const std::uint64_t shown = std::min(sourceLoaded_, WINDOW_LOOKAHEAD + 256 * step);
    const std::uint64_t percent = totalSize_ == 0 ? 0 : shown * 100 / totalSize_;
    consolePrint(MSG_LZSS_PROGRESS, static_cast<unsigned long>(shown),
                 static_cast<unsigned long>(percent));
  }

  // Appends `count` bits of `value`, most significant first; whole 32-bit groups go out.
  void putBits(int count, std::uint32_t value) {
    bitBuffer_ = bitBuffer_ << count | value;
    bitCount_ += count;
    if (bitCount_ >= 32) {
      bitCount_ -= 32;
      const auto word = static_cast<std::uint32_t>(bitBuffer_ >> bitCount_);
      outPos_[0] = static_cast<std::uint8_t>(word >> 24);
      outPos_[1] = static_cast<std::uint8_t>(word >> 16);
      outPos_[2] = static_cast<std::uint8_t>(word >> 8);
      outPos_[3] = static_cast<std::uint8_t>(word);
      outPos_ += 4;
    }
  }

  Status flushOutput() {
    const auto count = static_cast<std::size_t>(outPos_ - out_.data());
    outPos_ = out_.data();
    if (count == 0) return Status::ok();
    return output_.write({out_.data(), count});
  }

  // Writes the pending bits, the last byte filled with 0 bits.
  Status finishOutput() {
    while (bitCount_ >= 8) {
      bitCount_ -= 8;
      *outPos_++ = static_cast<std::uint8_t>(bitBuffer_ >> bitCount_);
    }
    if (bitCount_ > 0) *outPos_++ = static_cast<std::uint8_t>(bitBuffer_ << (8 - bitCount_));
    bitCount_ = 0;
    return flushOutput();
  }

  LzssInput& input_;
  LzssOutput& output_;
  const std::uint64_t totalSize_;

  const std::int32_t capacity_;  // window bytes that may hold data
  std::vector<std::uint8_t> window_;
  std::int32_t position_ = INITIAL_FILL;  // window index of the next byte to code
  std::int32_t end_ = INITIAL_FILL;       // window index one past the loaded data
  std::uint64_t base_ = 0;                // sequence index of window index 0
  std::uint64_t sourceLoaded_ = 0;
  bool inputEnded_ = false;

  std::vector<std::int32_t> head_;
  std::array<std::uint8_t, 256> link_{};

  std::vector<std::uint8_t> out_;
  std::uint8_t* outPos_ = nullptr;
  std::uint64_t bitBuffer_ = 0;
  int bitCount_ = 0;
  std::uint32_t progressCounter_ = 0;
};

class FileLzssInput final : public LzssInput {
 public:
  explicit FileLzssInput(FileHolder& file) : file_(file) {}
  Status read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    errno = 0;
    count = std::fread(buffer.data(), 1, buffer.size(), file_.stream());
    if (count < buffer.size() && std::ferror(file_.stream())) {
      count = 0;
      return fileFailure(MSG_CANNOT_READ, file_.path(), errno != 0 ? errno : EIO);
    }
    return Status::ok();
  }

 private:
  FileHolder& file_;
};

class FileLzssOutput final : public LzssOutput {
 public:
  explicit FileLzssOutput(FileHolder& file) : file_(file) {}
  Status write(std::span<const std::uint8_t> bytes) override {
    return file_.writeBytes(bytes.data(), bytes.size()) ? Status::ok() : Status::outputError();
  }

 private:
  FileHolder& file_;
};

int errnoOr(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

Status lzssCompress(LzssInput& input, LzssOutput& output, std::uint64_t totalSize,
                    std::size_t blockSize) {
  LzssEncoder encoder(input, output, totalSize, blockSize);
  return encoder.run();
}

Status encodeLzss(const std::string& sourcePath, const std::string& destinationPath) {
  FileHolder source;
  errno = 0;
  if (!source.open(sourcePath, "rb")) return fileFailure(MSG_CANNOT_OPEN, sourcePath, errnoOr(EIO));
  FileHolder destination;
  errno = 0;
  if (!destination.open(destinationPath, "wb")) {
    return fileFailure(MSG_CANNOT_CREATE, destinationPath, errnoOr(EIO));
  }
  FileLzssInput input(source);
  FileLzssOutput output(destination);
  if (Status status = lzssCompress(input, output, source.size()); !status) return status;
  source.close();
  if (!destination.close()) return Status::outputError();
  return Status::ok();
}

}  // namespace kupack
