#include "codec/lzss_encoder.h"

#include <algorithm>
#include <limits>

#include "codec/lzss.h"

namespace kupack {

LzssEncoder::LzssEncoder(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                         ProgressListener* listener, WorkerPool* worker, std::size_t blockSize,
                         LzssTuning tuning)
    : input_(input),
      output_(output),
      listener_(listener),
      worker_(worker),
      totalSize_(totalSize),
      tuning_(tuning),
      window_(totalSize, blockSize),
      coder_(tuning, window_.size()),
      out_(OUTPUT_BLOCK + OUTPUT_SLACK) {
  coder_.bits() = {out_.data(), 0, 0};
}

CodingResult LzssEncoder::run() {
  if (!window_.fill(input_)) return CodingResult::SourceFailed;
  for (;;) {
    if (const CodingResult result = codeStretch(window_.codingStop()); result != CodingResult::Done)
      return result;
    if (window_.sourceEnded()) break;
    shiftWindow();
    if (!window_.fill(input_)) return CodingResult::SourceFailed;
  }
  return finishOutput();
}

void LzssEncoder::shiftWindow() {
  const std::int32_t shift = window_.shift(position_);
  if (shift == 0) return;
  position_ -= shift;
  coder_.shift(shift);
  if (secondCoder_) secondCoder_->shift(shift);
}

CodingResult LzssEncoder::codeStretch(std::int32_t stop) {
  // While no worker is free, a part is coded here and then another look is taken: a worker
  // that becomes free meanwhile (another coder of the pool done with its entry) joins in for
  // the rest of the stretch.
  const std::int32_t leastSplit = std::max(tuning_.minimumSplit, 2 * LzssWindow::KEEP_AHEAD);
  while (position_ < stop) {
    if (tuning_.twoThreads && stop - position_ >= leastSplit) {
      if (const CodingResult result = codeInPieces(stop); result != CodingResult::Done)
        return result;
    }
    const std::int32_t partStop = stop - position_ > SPLIT_PART ? position_ + SPLIT_PART : stop;
    if (const CodingResult result = codeTokens(partStop, std::numeric_limits<std::int64_t>::max());
        result != CodingResult::Done)
      return result;
  }
  return CodingResult::Done;
}

CodingResult LzssEncoder::codeTokens(std::int32_t stop, std::int64_t limit) {
  const std::uint8_t* const outLimit = out_.data() + OUTPUT_BLOCK;
  while (position_ < stop && limit > 0) {
    if (untilProgress_ == 0) {
      reportProgress(position_);
      untilProgress_ = LZSS_PROGRESS_INTERVAL;
    }
    const auto tokens = static_cast<std::int32_t>(std::min<std::int64_t>(untilProgress_, limit));
    const LzssSegment segment{window_.data(), window_.end(), stop, tokens, outLimit};
    const LzssProgress done = coder_.code(segment, position_);
    position_ = done.pos;
    untilProgress_ -= done.tokens;
    limit -= done.tokens;
    if (coder_.bits().out >= outLimit) {
      if (const CodingResult result = flushOutput(); result != CodingResult::Done) return result;
    }
  }
  return CodingResult::Done;
}

void LzssEncoder::reportProgress(std::int32_t pos) const {
  const std::uint64_t step =
      (window_.base() + static_cast<std::uint64_t>(pos) - LZSS_INITIAL_FILL) >> 8;
  const std::uint64_t shown = std::min(window_.loaded(), LZSS_WINDOW_LOOKAHEAD + 256 * step);
  if (listener_ != nullptr) listener_->progress(shown, totalSize_);
}

CodingResult LzssEncoder::flushOutput() {
  BitCursor& bits = coder_.bits();
  const auto count = static_cast<std::size_t>(bits.out - out_.data());
  // The partial byte (if any) was written at bits.out and stays pending.
  const std::uint8_t pending = *bits.out;
  bits.out = out_.data();
  if (count == 0) return CodingResult::Done;
  const bool written = output_.put({out_.data(), count});
  out_.data()[0] = pending;
  return written ? CodingResult::Done : CodingResult::SinkFailed;
}

CodingResult LzssEncoder::finishOutput() {
  coder_.bits().padToByte();
  return flushOutput();
}

CodingResult lzssCompressTuned(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                               ProgressListener* listener, WorkerPool* worker,
                               std::size_t blockSize, LzssTuning tuning) {
  LzssEncoder encoder(input, output, totalSize, listener, worker, blockSize, tuning);
  return encoder.run();
}

CodingResult lzssCompress(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                          ProgressListener* listener, WorkerPool* worker, std::size_t blockSize) {
  return lzssCompressTuned(input, output, totalSize, listener, worker, blockSize, LzssTuning{});
}

}  // namespace kupack
