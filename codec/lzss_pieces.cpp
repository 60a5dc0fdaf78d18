#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

#include "codec/lzss_encoder.h"
#include "codec/worker_pool.h"

namespace kupack {
namespace {

// Stretches coded on two threads are cut into pieces of this length; the parse coming from
// before looks this far into a piece for one of its tokens token by token, then JOIN_STEP
// tokens at a time.
constexpr std::int32_t PIECE_LENGTH = 64 * 1024;
constexpr std::int32_t JOIN_REACH = 4096;
constexpr std::int64_t JOIN_STEP = 256;

// The number of set bits, without the library call that std::popcount becomes on x86
// processors not assumed to have the instruction.
int countBits(std::uint64_t word) {
  word -= word >> 1 & 0x5555555555555555ull;
  word = (word & 0x3333333333333333ull) + (word >> 2 & 0x3333333333333333ull);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((word * 0x0101010101010101ull) >> 56);
}

}  // namespace

void LzssPiece::prepare(std::int32_t from, std::int32_t stop) {
  from_ = from;
  stop_ = stop;
  // At most 9 bits per byte (a literal; a match takes 13 for at least 2), plus what a
  // token may write past the end.
  out_.resize(static_cast<std::size_t>(stop - from) * 9 / 8 + 64);
  startsBase_ = from & ~63;
  startBits_.assign(static_cast<std::size_t>(stop + LZSS_MAX_MATCH - startsBase_) / 64 + 2, 0);
}

void LzssPiece::code(TokenCoder& coder, const std::uint8_t* window, std::int32_t end) {
  coder.restart();
  coder.bits() = {out_.data(), 0, 0};
  const std::uint8_t* const outLimit = out_.data() + out_.size() - 32;
  const LzssSegment segment{
      window,     end, stop_, std::numeric_limits<std::int32_t>::max(), outLimit, startBits_.data(),
      startsBase_};
  end_ = coder.code(segment, from_).pos;
  const BitCursor& bits = coder.bits();
  streamBits_ = static_cast<std::uint64_t>(bits.out - out_.data()) * 8 +
                static_cast<std::uint64_t>(bits.bitCount);
}

std::int32_t LzssPiece::advance(std::int32_t pos, std::int32_t& count) const {
  const std::int32_t bit = pos + 1 - startsBase_;
  std::size_t word = static_cast<std::size_t>(bit >> 6);
  if (word >= startBits_.size()) return end_;
  std::uint64_t bits = startBits_[word] & (~std::uint64_t{0} << (bit & 63));
  for (;;) {
    const int here = countBits(bits);
    if (here >= count) {
      for (; count > 1; --count) bits &= bits - 1;
      count = 0;
      return startsBase_ + static_cast<std::int32_t>(word * 64) + std::countr_zero(bits);
    }
    count -= here;
    if (++word == startBits_.size()) return end_;
    bits = startBits_[word];
  }
}

// Cuts the stretch up to `stop` into pieces that this thread and the worker code, each
// taking the next piece when done with the last; this thread also joins the pieces to the
// stream, in order, as they are done. Codes nothing when no worker is free.
CodingResult LzssEncoder::codeInPieces(std::int32_t stop) {
  if (worker_ == nullptr) return CodingResult::Done;
  WorkerPool::Lease free = worker_->lease();
  if (!free) return CodingResult::Done;  // none, or another coder has it
  // The last two pieces' worth is cut four times finer, so that the thread that finishes
  // first waits less for the other at the end.
  const std::int32_t length = stop - position_;
  const std::int32_t pieceLength =
      std::max(LzssWindow::KEEP_AHEAD, std::min(PIECE_LENGTH, length / 2));
  const std::int32_t lastLength = std::max(LzssWindow::KEEP_AHEAD, pieceLength / 4);
  std::size_t count = 0;
  for (std::int32_t from = position_; from < stop; ++count) {
    const std::int32_t next = from + (stop - from > 2 * pieceLength ? pieceLength : lastLength);
    if (pieces_.size() <= count) pieces_.resize(count + 1);
    pieces_[count].prepare(from, std::min(stop, next));
    from = next;
  }
  if (!secondCoder_) {
    secondCoder_ = std::make_unique<TokenCoder>(tuning_, window_.size());
  }

  std::atomic<std::size_t> next{0};
  const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[count]);
  const std::uint8_t* const window = window_.data();
  const std::int32_t end = window_.end();
  auto codeLzssPiece = [&](TokenCoder& coder, std::size_t piece) {
    pieces_[piece].code(coder, window, end);
    done[piece].store(true, std::memory_order_release);
  };
  WorkerPool::Lease helper(std::move(free));  // waits for the job before what it uses goes
  helper.run([&] {
    for (std::size_t piece; (piece = next.fetch_add(1)) < count;)
      codeLzssPiece(*secondCoder_, piece);
  });

  CodingResult status = CodingResult::Done;
  for (std::size_t joined = 0; joined < count && status == CodingResult::Done;) {
    if (done[joined].load(std::memory_order_acquire)) {
      status = joinPiece(pieces_[joined++]);
      continue;
    }
    if (const std::size_t piece = next.fetch_add(1); piece < count) {
      const BitCursor output = coder_.bits();
      codeLzssPiece(coder_, piece);
      coder_.bits() = output;
      continue;
    }
    // The second thread is coding it: at most one piece's time.
    std::this_thread::yield();
  }
  next.store(count);  // after a failed write: the second thread stops after its piece
  helper.wait();
  coder_.restart();
  return status;
}

// Joins the piece's parse to the stream at the coding position.

CodingResult LzssEncoder::joinPiece(const LzssPiece& piece) {
  if (position_ >= piece.end()) return CodingResult::Done;  // the parse so far went past it
  if (!piece.startsAt(position_)) {
    // Code on alone until the parses meet: one token at a time at first, where they almost
    // always meet; past JOIN_REACH bytes (as in a long run of one byte, where both go in
    // steps of 17 until it ends) JOIN_STEP tokens at a time. Once met they stay together,
    // so a meeting inside such a step is seen at its end.
    coder_.restart();
    const std::int32_t stepwiseUpTo = piece.from() + JOIN_REACH;
    while (position_ < piece.end() && !piece.startsAt(position_)) {
      const std::int64_t tokens = position_ < stepwiseUpTo ? 1 : JOIN_STEP;
      if (const CodingResult result = codeTokens(piece.end(), tokens); result != CodingResult::Done)
        return result;
    }
    if (position_ >= piece.end()) return CodingResult::Done;  // never met: all coded here
  }
  return takePiece(piece);
}

// Appends the piece's tokens from the one at the coding position on, with their progress.

CodingResult LzssEncoder::takePiece(const LzssPiece& piece) {
  // Where that token begins in the piece's stream: literals take 9 bits, matches 13, and
  // a token is a literal when the next one starts one byte later.
  std::uint64_t bit = 0;
  for (std::int32_t token = piece.from(); token < position_;) {
    std::int32_t one = 1;
    const std::int32_t next = piece.advance(token, one);
    bit += next - token == 1 ? LZSS_LITERAL_BITS : LZSS_MATCH_BITS;
    token = next;
  }

  // Progress is due before every 5000th token, counted over the whole stream.
  for (std::int32_t token = position_;;) {
    if (untilProgress_ == 0) {
      reportProgress(token);
      untilProgress_ = LZSS_PROGRESS_INTERVAL;
    }
    std::int32_t count = untilProgress_;
    const std::int32_t next = piece.advance(token, count);
    if (next >= piece.end()) {
      untilProgress_ = count - 1;  // this token and those after it were fewer
      break;
    }
    untilProgress_ = 0;
    token = next;
  }

  if (const CodingResult result = appendBits(piece.stream(), bit, piece.streamBits());
      result != CodingResult::Done)
    return result;
  position_ = piece.end();
  return CodingResult::Done;
}

// Appends bits [bit, endBit) of `stream` (first bit highest) to the output.

CodingResult LzssEncoder::appendBits(const std::uint8_t* stream, std::uint64_t bit,
                                     std::uint64_t endBit) {
  const std::uint8_t* const outLimit = out_.data() + OUTPUT_BLOCK;
  BitCursor& bits = coder_.bits();
  // Up to the next whole byte of the stream, then whole bytes up to each output block's
  // end, then the last bits.
  const auto head = static_cast<int>(std::min<std::uint64_t>((8 - bit % 8) % 8, endBit - bit));
  if (head > 0) {
    bits.put(head, static_cast<std::uint32_t>(stream[bit / 8] & ((1u << (8 - bit % 8)) - 1)) >>
                       (8 - bit % 8 - static_cast<std::uint64_t>(head)));
    bit += static_cast<std::uint64_t>(head);
  }
  while (endBit - bit >= 8) {
    // The stream has readable bytes past its end, the output block writable ones.
    const auto room = static_cast<std::uint64_t>(outLimit - bits.out);
    const std::uint64_t count = std::min((endBit - bit) / 8, room);
    if (count > 0) bits.putBytes(stream + bit / 8, static_cast<std::size_t>(count));
    bit += 8 * count;
    if (bits.out >= outLimit) {
      if (const CodingResult result = flushOutput(); result != CodingResult::Done) return result;
    }
  }
  while (bit < endBit) {
    const int count = static_cast<int>(std::min<std::uint64_t>(8, endBit - bit));
    bits.put(count, static_cast<std::uint32_t>(stream[bit / 8]) >> (8 - count));
    bit += static_cast<std::uint64_t>(count);
  }
  if (bits.out >= outLimit) return flushOutput();
  return CodingResult::Done;
}

}  // namespace kupack
