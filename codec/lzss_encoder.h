// The LZSS coder's run: LzssEncoder reads the source into its window block by block, codes
// the tokens with a TokenCoder, reports progress and writes the stream. Where it was handed
// a free worker thread, each block's stretch of tokens is cut into LzssPieces that two
// threads code at once, and the pieces' parses are joined in order afterwards
// (lzss_pieces.cpp); the stream is the one a single thread writes, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/byte_stream.h"
#include "codec/lzss_search.h"
#include "codec/lzss_token_coder.h"
#include "codec/lzss_window.h"
#include "codec/raw_bytes.h"

namespace kupack {

class WorkerPool;

// A piece of a stretch of the source, coded ahead by one of two threads on the guess that
// a token starts at its first byte. Greedy parses that start at different places almost
// always meet again within a few tokens: once the parse that comes from before reaches a
// position where one of the piece's tokens starts, every token from there on is the one it
// would code itself.
class LzssPiece {
 public:
  // Makes room for the tokens that start in [from, stop). Allocates, so that code() does not.
  void prepare(std::int32_t from, std::int32_t stop);
  // Codes the tokens with `coder` (the window is loaded up to `end`).
  void code(TokenCoder& coder, const std::uint8_t* window, std::int32_t end);

  std::int32_t from() const { return from_; }
  std::int32_t end() const { return end_; }  // where the last token ends
  // Whether a token starts at `pos` (from from() to end()).
  bool startsAt(std::int32_t pos) const {
    if (pos >= end_) return false;
    const std::int32_t bit = pos - startsBase_;
    return (startBits_[static_cast<std::size_t>(bit >> 6)] >> (bit & 63) & 1) != 0;
  }
  // The start of the token `count` (at least 1) tokens after the one at `pos`, setting
  // `count` to 0; or end() when fewer follow, reducing `count` by those that do.
  std::int32_t advance(std::int32_t pos, std::int32_t& count) const;
  // The stream of the piece's tokens and its length in bits.
  const std::uint8_t* stream() const { return out_.data(); }
  std::uint64_t streamBits() const { return streamBits_; }

 private:
  RawBytes out_;
  std::vector<std::uint64_t> startBits_;
  std::int32_t startsBase_ = 0;
  std::int32_t from_ = 0;
  std::int32_t stop_ = 0;
  std::int32_t end_ = 0;
  std::uint64_t streamBits_ = 0;
};

// One coding run; every call of lzssCompress has its own.
class LzssEncoder {
 public:
  LzssEncoder(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
              ProgressListener* listener, WorkerPool* worker, std::size_t blockSize,
              LzssTuning tuning);

  CodingResult run();

 private:
  static constexpr std::size_t OUTPUT_BLOCK = 64 * 1024;
  static constexpr std::size_t OUTPUT_SLACK = 16;
  // How much of a stretch is coded alone between two looks for a free worker.
  static constexpr std::int32_t SPLIT_PART = 1 << 20;

  // Drops coded bytes that lie out of reach, keeping ring slots (shift multiple of 256).
  void shiftWindow();
  // Codes the tokens that start below `stop`: on two threads from where the rest is long
  // enough and a worker is free, else on this one.
  CodingResult codeStretch(std::int32_t stop);
  // Codes tokens while the coding position lies below `stop`, at most `limit` of them, in
  // stretches between the points where progress is due.
  CodingResult codeTokens(std::int32_t stop, std::int64_t limit);
  void reportProgress(std::int32_t pos) const;
  CodingResult flushOutput();
  // The last token already placed the pending bits, followed by 0 bits, at the output.
  CodingResult finishOutput();

  // lzss_pieces.cpp: the two-thread parse of a stretch and the joining of its pieces.
  CodingResult codeInPieces(std::int32_t stop);
  CodingResult joinPiece(const LzssPiece& piece);
  CodingResult takePiece(const LzssPiece& piece);
  CodingResult appendBits(const std::uint8_t* stream, std::uint64_t bit, std::uint64_t endBit);

  ByteSource& input_;
  ByteSink& output_;
  ProgressListener* const listener_;
  WorkerPool* const worker_;
  const std::uint64_t totalSize_;
  const LzssTuning tuning_;
  LzssWindow window_;
  TokenCoder coder_;
  // The second thread's searches and the pieces of the current stretch, made when a
  // stretch is first coded on two threads.
  std::unique_ptr<TokenCoder> secondCoder_;
  std::vector<LzssPiece> pieces_;
  std::int32_t untilProgress_ = LZSS_PROGRESS_INTERVAL - 1;  // tokens before progress is due
  std::int32_t position_ = LZSS_INITIAL_FILL;  // window index of the next byte to code
  RawBytes out_;
};

}  // namespace kupack
