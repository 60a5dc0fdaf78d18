#include "codec/lzss.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <span>
#include <system_error>
#include <thread>

#include "codec/lzss_search.h"
#include "common/byte_order.h"

namespace kupack {
namespace {

// Window indices count from the first of the 239 fill spaces, which are followed by the
// source; a match names its start by window index modulo 256.
constexpr std::int32_t INITIAL_FILL = LZSS_INITIAL_FILL;
constexpr std::int32_t REACH = LZSS_REACH;
constexpr std::int32_t MAX_MATCH = LZSS_MAX_MATCH;
constexpr std::int32_t PROGRESS_INTERVAL = 5000;
constexpr std::uint8_t FILL_BYTE = LZSS_FILL_BYTE;

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
// Readable bytes past the data, for the pair after the last byte and for word compares,
// and before index 0, for the candidate rows of the first positions (whose bits for bytes
// out of reach are never looked at).
constexpr std::size_t WINDOW_SLACK = 32;
constexpr std::size_t WINDOW_FRONT = 64;

constexpr std::size_t OUTPUT_BLOCK = 64 * 1024;
constexpr std::size_t OUTPUT_SLACK = 16;

constexpr std::int32_t NO_POSITION = -(1 << 30);  // "never seen": farther than any reach

// Stretches coded on two threads are cut into pieces of this length; the parse coming from
// before looks this far into a piece for one of its tokens token by token, then JOIN_STEP
// tokens at a time.
constexpr std::int32_t PIECE_LENGTH = 64 * 1024;
constexpr std::int32_t JOIN_REACH = 4096;
constexpr std::int64_t JOIN_STEP = 256;

// The chain walk codes up to this many literals before a match at once.
constexpr std::int32_t MAX_LITERAL_BATCH = 4;

// The chain walk's pair distances are set this many positions ahead at a time.
constexpr std::int32_t DISTANCE_CHUNK = 4096;

// The search method is chosen anew after every 4096 tokens. Chain walks serve while they
// stay short, at most 3 candidates per token on average, and, where the candidate rows do the
// wide search, while tokens cover less than 2.2 bytes on average (many literals, which the
// chains find at once and the rows do not). The wide search then serves for at least one
// period, and for as long as 30 % of the tokens are matches (the slot ring) or tokens cover
// 1.6 bytes (the rows); when chains were still long right after a spell of the wide search,
// the next spell lasts twice as long (up to 64 periods).
constexpr std::int32_t MODE_PERIOD = 4096;
constexpr std::int32_t MAX_CHAIN_STEPS = 3 * MODE_PERIOD;
constexpr std::int32_t MIN_RING_MATCHES = MODE_PERIOD * 3 / 10;
constexpr std::int32_t MIN_BYTES_FOR_ROWS = MODE_PERIOD * 22 / 10;
constexpr std::int32_t MIN_BYTES_TO_STAY_IN_ROWS = MODE_PERIOD * 16 / 10;
constexpr std::int32_t MAX_WIDE_SPELL = 64;

// Bytes that are always written before they are read, so not zeroed when allocated: the
// coder's large buffers would otherwise cost a pass over fresh memory for every file.
class RawBytes {
 public:
  explicit RawBytes(std::size_t size = 0) { resize(size); }
  // Makes room for `size` bytes; what was there is not kept.
  void resize(std::size_t size) {
    if (size > capacity_) {
      bytes_.reset(new std::uint8_t[size]);
      capacity_ = size;
    }
    size_ = size;
  }
  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The two bytes at window index `p` as one number.
std::uint32_t pairAt(const std::uint8_t* window, std::int32_t p) {
  return static_cast<std::uint32_t>(window[p]) | static_cast<std::uint32_t>(window[p + 1]) << 8;
}

// A set of ring slots (0..255) in four words, interleaved: slot s is bit s / 4 of word
// s % 4. Consecutive slots thus lie in different words, so that filling a run of slots with
// one byte value does not update the same word over and over, and moving every slot one up
// only moves each word to the next and turns the last one by a bit.
struct SlotSet {
  std::array<std::uint64_t, 4> words{};

  static int wordOf(int slot) { return slot & 3; }
  static std::uint64_t bitOf(int slot) { return std::uint64_t{1} << (slot >> 2); }
};

// How far below `slot` the nearest slot of `set` lies (1..255), going down and wrapping from 0
// to 255. The set must not be empty, nor hold `slot` alone. In each word the slot nearest
// below is turned to the top bit, so that the leading zeros count the slots skipped there;
// no branch depends on where the slots lie.
int nearestDistance(const SlotSet& set, int slot) {
  int nearest = 1 << 10;
  for (int word = 0; word < 4; ++word) {
    const int first = ((slot - word - 1) & 3) + 1;  // distance of the word's first slot below
    const int bit = ((slot - first) & 0xFF) >> 2;   // and its bit
    const std::uint64_t turned = std::rotl(set.words[word], 63 - bit);
    nearest = std::min(nearest, first + 4 * std::countl_zero(turned));
  }
  return nearest;
}

// Every set of 239 consecutive slots that ends just below a slot: the candidates of a token.
struct ReachTable {
  std::array<SlotSet, 256> bySlot;
  ReachTable() {
    for (int slot = 0; slot < 256; ++slot) {
      for (int distance = 1; distance <= REACH; ++distance) {
        const int candidate = (slot - distance) & 0xFF;
        bySlot[slot].words[SlotSet::wordOf(candidate)] |= SlotSet::bitOf(candidate);
      }
    }
  }
};

const ReachTable& reachTable() {
  static const ReachTable table;
  return table;
}

struct Match {
  std::int32_t start = 0;   // window index where the earlier copy starts
  std::int32_t length = 1;  // 1: no match, code a literal
};

// The ring of the last 256 positions of the sequence, slot = position modulo 256, which
// finds the match of a token with all of its candidates at once: for every byte value a set
// of slots tells where it lies. Starting from the candidates that match the first byte, each
// step moves the set one slot up and keeps the slots that hold the next byte, so step j
// leaves the candidates that match j + 1 bytes. The last set that is not empty holds the
// longest matches; the nearest of them is the first one below the coding position. Its cost
// depends only on the match length, never on how many candidates share a prefix.
class SlotRing {
 public:
  // Brings the ring up to date for a search at `pos`: it must hold the bytes from 239
  // before to 16 after. Bytes past `end` are never looked at and need not be there.
  void catchUp(const std::uint8_t* window, std::int32_t pos, std::int32_t end) {
    const std::int32_t last = std::min(pos + MAX_MATCH, end);
    // Only the last 256 positions count; older ones would be overwritten at once. The
    // position lives in a local: the byte stores below could alias a member.
    std::int32_t entered = std::max(entered_, last - 256);
    for (; entered < last; ++entered) {
      const auto slot = static_cast<std::uint8_t>(entered);
      const std::uint8_t byte = window[entered];
      const int word = SlotSet::wordOf(slot);
      const std::uint64_t bit = SlotSet::bitOf(slot);
      slotsOf_[slotByte_[slot]].words[word] &= ~bit;
      slotsOf_[byte].words[word] |= bit;
      slotByte_[slot] = byte;
    }
    entered_ = std::max(entered_, entered);
  }

  // The window moved down by `shift` bytes, a multiple of 256: slots stay as they are.
  void shift(std::int32_t shift) { entered_ -= shift; }

  // Takes nothing for granted about the positions entered so far.
  void forget() { entered_ = NO_POSITION; }

  // The match at `pos` of at most `limit` (2..17) bytes; the ring must be caught up. The
  // four words of the candidate set live in locals so that they stay in registers.
  Match findMatch(const std::uint8_t* window, std::int32_t pos, std::int32_t limit) const {
    const std::uint8_t* const current = window + pos;
    const int slot = static_cast<std::uint8_t>(pos);
    const SlotSet& reach = reachTable_.bySlot[slot];
    const std::uint64_t* next = slotsOf_[current[0]].words.data();
    std::uint64_t m0 = reach.words[0] & next[0];
    std::uint64_t m1 = reach.words[1] & next[1];
    std::uint64_t m2 = reach.words[2] & next[2];
    std::uint64_t m3 = reach.words[3] & next[3];
    std::int32_t length = 1;
    for (; length < limit; ++length) {
      next = slotsOf_[current[length]].words.data();
      const std::uint64_t n0 = std::rotl(m3, 1) & next[0];
      const std::uint64_t n1 = m0 & next[1];
      const std::uint64_t n2 = m1 & next[2];
      const std::uint64_t n3 = m2 & next[3];
      if ((n0 | n1 | n2 | n3) == 0) break;
      m0 = n0;
      m1 = n1;
      m2 = n2;
      m3 = n3;
    }
    if (length < 2) return {};
    // The set holds the slots of the last matched byte of every longest candidate.
    const int lastSlot = (slot + length - 1) & 0xFF;
    return {pos - nearestDistance(SlotSet{{m0, m1, m2, m3}}, lastSlot), length};
  }

 private:
  const ReachTable& reachTable_ = reachTable();
  std::array<SlotSet, 256> slotsOf_{};        // by byte value: the slots that hold it
  std::array<std::uint8_t, 256> slotByte_{};  // by slot: the byte it holds
  std::int32_t entered_ = 0;                  // window index of the next byte to enter
};

// Finds and codes tokens in a window it is given. The search finds exactly the match an
// exhaustive scan of all 239 candidates finds: the longest, and the nearest among equal
// lengths, in one of two ways. The chain walk: every position enters the chain of earlier
// positions that begin with the same two bytes, so a position whose chain has nothing in
// reach is a literal at once; otherwise the walk visits the candidates nearest first,
// measures one only when it agrees at the byte that would make it longer than the best so
// far, and ends at the first that reaches the limit, as no farther one can beat it: fast on
// noisy pictures, whose chains are short. The wide search tests all candidates at once, by
// candidate rows where the processor has 512-bit compares and by the slot ring elsewhere;
// its cost does not depend on the chains: better for smooth pictures and few colours. Which
// way serves is decided from the recent chain lengths and token lengths (see chooseMode).
class TokenCoder {
 public:
  // `windowSize`: the bytes of the window from index 0 on, slack past the data included.
  TokenCoder(LzssTuning tuning, std::size_t windowSize)
      : tuning_(tuning),
        useRows_(tuning.wide == LzssWideSearch::Best && lzssRowSearchAvailable()),
        useWide_(tuning.search == LzssSearch::WideOnly),
        latestOfPair_(std::size_t{1} << 16, NO_POSITION),
        pairDistance_(windowSize) {}

  LzssBits& bits() { return bits_; }

  // Codes tokens from `pos` within the limits of `segment`.
  LzssProgress code(const LzssSegment& segment, std::int32_t pos) {
    LzssProgress total;
    total.pos = pos;
    while (total.pos < segment.stop && total.tokens < segment.tokens &&
           bits_.out < segment.outLimit) {
      if (untilModeCheck_ == 0) {
        chooseMode();
        untilModeCheck_ = MODE_PERIOD;
      }
      LzssSegment part = segment;
      part.tokens = std::min(segment.tokens - total.tokens, untilModeCheck_);
      if (!useWide_) {
        part.stop = std::min(part.stop, distancesFor(segment.window, total.pos, segment.end));
        part.pairDistance = pairDistance_.data();
      }
      const LzssProgress done = !useWide_ ? (part.starts != nullptr
                                                 ? codeWithChains<true>(part, total.pos)
                                                 : codeWithChains<false>(part, total.pos))
                                : useRows_ ? lzssCodeWithRows(rows_, bits_, total.pos, part)
                                           : codeWithRing(part, total.pos);
      untilModeCheck_ -= done.tokens;
      modeMatches_ += done.matches;
      modeBytes_ += done.pos - total.pos;
      total.tokens += done.tokens;
      total.matches += done.matches;
      total.pos = done.pos;
    }
    return total;
  }

  // Makes the searches exact for coding from anywhere in the window, whatever positions they
  // saw before. The pair distances check for themselves whether they are valid there.
  void restart() {
    ring_.forget();
    rows_.forget();
  }

  // The window moved down by `shift` bytes, a multiple of 256.
  void shift(std::int32_t shift) {
    ring_.shift(shift);
    rows_.forget();
    for (std::int32_t& latest : latestOfPair_) latest = std::max(latest - shift, NO_POSITION);
    distanceFrom_ = distanceTo_ = 0;
  }

 private:
  // Makes the pair distances serve the tokens from `pos` to at least DISTANCE_CHUNK bytes
  // past it or the end of the data; returns where they end. A token's chain walk needs every
  // position of its reach entered, in order: when the entered ones do not reach back that
  // far or do not reach `pos`, entering starts over 239 bytes before `pos`. (A distance set
  // there may miss an occurrence from before; that one lies out of every later token's
  // reach.) Data loaded since completes the pair of the last byte seen before.
  std::int32_t distancesFor(const std::uint8_t* window, std::int32_t pos, std::int32_t end) {
    if (end != distanceEnd_) {
      distanceTo_ = std::min(distanceTo_, distanceEnd_ - 1);
      distanceEnd_ = end;
    }
    if (distanceFrom_ > std::max(0, pos - REACH) || pos > distanceTo_) {
      distanceFrom_ = std::max(0, pos - REACH);
      enterPairs(window, distanceFrom_, pos, end);
    }
    const std::int32_t upTo = std::min(end, pos + DISTANCE_CHUNK);
    if (distanceTo_ < upTo) enterPairs(window, distanceTo_, upTo, end);
    return distanceTo_;
  }

  // Enters positions [from, to) into the pair table in order and sets their pair distances:
  // how far back the same two bytes began last, 0 when not within reach. The last byte of
  // the data has no pair yet and gets 0 without being entered. A table entry always names a
  // real occurrence in the window (shift() keeps them so): one ahead, left over from coding
  // elsewhere, gives no distance (it is negative); one from before `from` lies out of the
  // reach of the tokens this serves.
  void enterPairs(const std::uint8_t* window, std::int32_t from, std::int32_t to,
                  std::int32_t end) {
    std::int32_t* const latestOfPair = latestOfPair_.data();
    std::uint8_t* const distance = pairDistance_.data();
    const std::int32_t paired = std::min(to, end - 1);
    for (std::int32_t p = from; p < paired; ++p) {
      std::int32_t& latest = latestOfPair[pairAt(window, p)];
      const std::int32_t back = p - latest;
      latest = p;
      // Without a branch: which way it goes is as good as random on noisy pictures.
      const std::uint32_t inReach =
          0u - static_cast<std::uint32_t>(static_cast<std::uint32_t>(back - 1) <
                                          static_cast<std::uint32_t>(REACH));
      distance[p] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(back) & inReach);
    }
    if (to == end && from < end) distance[end - 1] = 0;
    distanceTo_ = to;
  }

  // The chain walk. The loop keeps its state in locals: its byte stores could otherwise
  // alias every member.
  // Marking token starts is left out of the loop that does not need it, to spare registers.
  // Away from the limits of the segment and the data, the literals before a match are
  // counted from the pair distances of the next 8 positions and coded with the match, up
  // to four at a time: one branch for all of them instead of one for each, which would be
  // mispredicted as often as a literal and a match alternate.
  template <bool markStarts>
  LzssProgress codeWithChains(const LzssSegment& segment, std::int32_t pos) {
    const std::uint8_t* const window = segment.window;
    const std::uint8_t* const distance = segment.pairDistance;
    [[maybe_unused]] std::uint64_t* const starts = segment.starts;
    [[maybe_unused]] const std::int32_t startsBase = segment.startsBase;
    LzssBits bits = bits_;
    LzssProgress progress;
    std::int32_t steps = 0;
    const std::int32_t batchStop =
        std::min(segment.stop - 8, segment.end - (MAX_LITERAL_BATCH + MAX_MATCH));
    while (pos < segment.stop && progress.tokens < segment.tokens && bits.out < segment.outLimit) {
      if (pos < batchStop && segment.tokens - progress.tokens > MAX_LITERAL_BATCH) {
        const std::int32_t literals = std::min(literalsAhead(distance + pos), MAX_LITERAL_BATCH);
        const std::uint64_t literalCodes =
            literalCodesAt(window + pos) >> LZSS_LITERAL_BITS * (MAX_LITERAL_BATCH - literals);
        if constexpr (markStarts) lzssMarkStarts(starts, startsBase, pos, literals + 1);
        if (literals == MAX_LITERAL_BATCH) {
          bits.put(LZSS_LITERAL_BITS * MAX_LITERAL_BATCH, literalCodes);
          progress.tokens += MAX_LITERAL_BATCH;
          pos += MAX_LITERAL_BATCH;
          continue;
        }
        const std::int32_t at = pos + literals;
        const Match match = walkChain(window, at, at - distance[at], MAX_MATCH, distance, steps);
        bits.put(LZSS_LITERAL_BITS * literals + LZSS_MATCH_BITS,
                 literalCodes << LZSS_MATCH_BITS | lzssMatchCode(match.start, match.length));
        progress.tokens += literals + 1;
        ++progress.matches;
        pos = at + match.length;
        continue;
      }
      ++progress.tokens;
      if constexpr (markStarts) lzssMarkStart(starts, startsBase, pos);
      const std::int32_t limit = std::min(MAX_MATCH, segment.end - pos);
      Match match;
      const std::int32_t back = distance[pos];
      if (back != 0 && limit >= 2) {
        match = limit == 2 ? Match{pos - back, 2}
                           : walkChain(window, pos, pos - back, limit, distance, steps);
      }
      putToken(bits, window, match, pos, progress);
    }
    bits_ = bits;
    modeSteps_ += steps;
    progress.pos = pos;
    return progress;
  }

  // How many of the 8 positions from `distance` have no earlier pair in reach, up to the
  // first that has one: the literals ahead.
  static std::int32_t literalsAhead(const std::uint8_t* distance) {
    const std::uint64_t word = loadNative64(distance);
    constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t nonZero = (((word & LOW7) + LOW7) | word) & ~LOW7;  // top bit per byte
    const int zeroBits = std::endian::native == std::endian::little ? std::countr_zero(nonZero)
                                                                    : std::countl_zero(nonZero);
    return zeroBits >> 3;
  }

  // The codes of the literals of the MAX_LITERAL_BATCH bytes from `bytes`, the first highest.
  static std::uint64_t literalCodesAt(const std::uint8_t* bytes) {
    std::uint64_t codes = 0;
    for (int i = 0; i < MAX_LITERAL_BATCH; ++i) {
      codes = codes << LZSS_LITERAL_BITS | lzssLiteralCode(bytes[i]);
    }
    return codes;
  }

  // Codes the token at `pos`, a literal when `match` is shorter than 2 bytes, and moves on.
  static void putToken(LzssBits& bits, const std::uint8_t* window, Match match,
                       std::int32_t& pos, LzssProgress& progress) {
    if (match.length < 2) {
      bits.putLiteral(window[pos]);
      ++pos;
    } else {
      ++progress.matches;
      bits.putMatch(match.start, match.length);
      pos += match.length;
    }
  }

  // The match at `pos` of at most `limit` (3..17) bytes, walking the pair chain from
  // `candidate`, the nearest earlier position in reach that begins with the same two bytes.
  // Counts the candidates visited in `steps`.
  static Match walkChain(const std::uint8_t* window, std::int32_t pos, std::int32_t candidate,
                         std::int32_t limit, const std::uint8_t* distance, std::int32_t& steps) {
    const std::uint8_t* const current = window + pos;
    Match best{candidate, 1};
    for (;;) {
      ++steps;
      if (window[candidate + best.length] == current[best.length]) {
        const std::int32_t length = lzssMatchLength(window + candidate, current, limit);
        if (length > best.length) {
          best = {candidate, length};
          if (length == limit) break;
        }
      }
      const std::uint8_t step = distance[candidate];
      if (step == 0) break;
      candidate -= step;
      if (pos - candidate > REACH) break;
    }
    return best;
  }

  // The slot ring, for processors without the candidate rows. The chains are left alone
  // until the chain walk serves again.
  LzssProgress codeWithRing(const LzssSegment& segment, std::int32_t pos) {
    const std::uint8_t* const window = segment.window;
    std::uint64_t* const starts = segment.starts;
    const std::int32_t startsBase = segment.startsBase;
    LzssBits bits = bits_;
    LzssProgress progress;
    while (pos < segment.stop && progress.tokens < segment.tokens && bits.out < segment.outLimit) {
      ++progress.tokens;
      if (starts != nullptr) lzssMarkStart(starts, startsBase, pos);
      const std::int32_t limit = std::min(MAX_MATCH, segment.end - pos);
      Match match;
      if (limit == MAX_MATCH && lzssIsRunOfEighteen(window + pos - 1)) {
        match = {pos - 1, MAX_MATCH};
      } else if (limit >= 2) {
        ring_.catchUp(window, pos, segment.end);
        match = ring_.findMatch(window, pos, limit);
      }
      putToken(bits, window, match, pos, progress);
    }
    bits_ = bits;
    progress.pos = pos;
    return progress;
  }

  // Picks the search method for the next period from what the last one saw. Both methods
  // find the same matches; this only decides which one finds them faster.
  void chooseMode() {
    if (tuning_.search == LzssSearch::Adaptive) {
      if (useWide_) {
        --widePeriodsLeft_;
        const bool wideStillPays = useRows_ ? modeBytes_ >= MIN_BYTES_TO_STAY_IN_ROWS
                                            : modeMatches_ >= MIN_RING_MATCHES;
        if (widePeriodsLeft_ <= 0 && !wideStillPays) {
          useWide_ = false;
          justLeftWide_ = true;
        }
      } else {
        if (modeSteps_ > MAX_CHAIN_STEPS || (useRows_ && modeBytes_ >= MIN_BYTES_FOR_ROWS)) {
          useWide_ = true;
          wideSpell_ = justLeftWide_ ? std::min(2 * wideSpell_, MAX_WIDE_SPELL) : 1;
          widePeriodsLeft_ = wideSpell_;
        }
        justLeftWide_ = false;
      }
    }
    modeSteps_ = 0;
    modeMatches_ = 0;
    modeBytes_ = 0;
  }

  const LzssTuning tuning_;
  const bool useRows_;  // the wide search by candidate rows, else by the slot ring

  // The search method (see chooseMode).
  bool useWide_;
  bool justLeftWide_ = false;
  std::int32_t wideSpell_ = 1;        // periods the wide search serves at least
  std::int32_t widePeriodsLeft_ = 0;  // of the current spell
  std::int32_t modeSteps_ = 0;        // chain candidates visited in this period
  std::int32_t modeMatches_ = 0;      // match tokens in this period
  std::int32_t modeBytes_ = 0;        // bytes they covered
  std::int32_t untilModeCheck_ = MODE_PERIOD - 1;  // tokens before the method is chosen

  // The pair chains: by pair of bytes the latest window index where it began, and by
  // position modulo 256 the distance back to the previous position with the same pair
  // (0 when that lies out of reach).
  std::vector<std::int32_t> latestOfPair_;
  RawBytes pairDistance_;
  std::int32_t distanceFrom_ = 0;  // positions [distanceFrom_, distanceTo_) are entered
  std::int32_t distanceTo_ = 0;
  std::int32_t distanceEnd_ = 0;  // the end of the data they were set for
  SlotRing ring_;
  LzssCandidateRows rows_;

  LzssBits bits_{};
};

// The second thread of the process, shared by all coders one at a time. A thread that is
// made anew for every stretch may wait for milliseconds before it first runs, while the
// thread that made it is busy; this one stays, and after a job it keeps watching for the
// next one for a moment before it sleeps, so that the stretches of a run find it awake.
class HelperThread {
 public:
  // The right to give the helper one job after the other; empty when the processor has a
  // single core, no thread could be started, or another coder holds it.
  class Lease {
   public:
    Lease() = default;
    explicit Lease(HelperThread* helper) : helper_(helper) {}
    Lease(Lease&& other) noexcept : helper_(std::exchange(other.helper_, nullptr)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (helper_ != nullptr) helper_->busy_.store(false, std::memory_order_release);
    }
    explicit operator bool() const { return helper_ != nullptr; }
    // Starts `job` on the helper; wait() must follow before the next run().
    void run(std::function<void()> job) { helper_->post(std::move(job)); }
    void wait() { helper_->waitForJob(); }

   private:
    HelperThread* helper_ = nullptr;
  };

  static Lease lease() {
    static HelperThread* const helper = start();
    if (helper == nullptr || helper->busy_.exchange(true, std::memory_order_acquire)) return {};
    return Lease(helper);
  }

  ~HelperThread() {
    if (!thread_.joinable()) return;  // it could not be started
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      quit_.store(true, std::memory_order_release);
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  HelperThread() = default;

  static HelperThread* start() {
    if (std::thread::hardware_concurrency() < 2) return nullptr;
    static HelperThread helper;
    try {
      helper.thread_ = std::thread([] { helper.serve(); });
    } catch (const std::system_error&) {
      return nullptr;
    }
    return &helper;
  }

  void post(std::function<void()> job) {
    job_ = std::move(job);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      posted_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_one();
  }

  // Jobs end soon after the last piece is taken, so this waits by yielding the processor
  // (std::atomic::wait is not dependable everywhere: MinGW's can miss its wake-up).
  void waitForJob() {
    const std::uint64_t job = posted_.load(std::memory_order_relaxed);
    while (finished_.load(std::memory_order_acquire) != job) std::this_thread::yield();
  }

  void serve() {
    std::uint64_t seen = 0;
    for (;;) {
      // Yielding while it watches, so that on a processor shared with the coder (a process
      // held to one core) the coder runs.
      const auto awakeUntil = std::chrono::steady_clock::now() + STAY_AWAKE;
      while (posted_.load(std::memory_order_acquire) == seen &&
             !quit_.load(std::memory_order_acquire) &&
             std::chrono::steady_clock::now() < awakeUntil) {
        std::this_thread::yield();
      }
      if (posted_.load(std::memory_order_acquire) == seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] {
          return quit_.load(std::memory_order_acquire) ||
                 posted_.load(std::memory_order_acquire) != seen;
        });
        if (quit_.load(std::memory_order_acquire)) return;
      }
      seen = posted_.load(std::memory_order_acquire);
      job_();
      finished_.store(seen, std::memory_order_release);
    }
  }

  static constexpr std::chrono::milliseconds STAY_AWAKE{3};

  std::thread thread_;
  std::atomic<bool> busy_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> quit_{false};         // set under mutex_, for the wait
  std::atomic<std::uint64_t> posted_{0};  // jobs given
  std::atomic<std::uint64_t> finished_{0};
  std::function<void()> job_;  // written before posted_ grows, read after
};

// The number of set bits, without the library call that std::popcount becomes on x86
// processors not assumed to have the instruction.
int countBits(std::uint64_t word) {
  word -= word >> 1 & 0x5555555555555555ull;
  word = (word & 0x3333333333333333ull) + (word >> 2 & 0x3333333333333333ull);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((word * 0x0101010101010101ull) >> 56);
}

// A piece of a stretch of the source, coded ahead by one of two threads on the guess that
// a token starts at its first byte. Greedy parses that start at different places almost
// always meet again within a few tokens: once the parse that comes from before reaches a
// position where one of the piece's tokens starts, every token from there on is the one it
// would code itself.
class Piece {
 public:
  // Makes room for the tokens that start in [from, stop). Allocates, so that code() does not.
  void prepare(std::int32_t from, std::int32_t stop) {
    from_ = from;
    stop_ = stop;
    // At most 9 bits per byte (a literal; a match takes 13 for at least 2), plus what a
    // token may write past the end.
    out_.resize(static_cast<std::size_t>(stop - from) * 9 / 8 + 64);
    startsBase_ = from & ~63;
    startBits_.assign(static_cast<std::size_t>(stop + MAX_MATCH - startsBase_) / 64 + 2, 0);
  }

  // Codes the tokens with `coder` (the window is loaded up to `end`).
  void code(TokenCoder& coder, const std::uint8_t* window, std::int32_t end) {
    coder.restart();
    coder.bits() = {out_.data(), 0, 0};
    const std::uint8_t* const outLimit = out_.data() + out_.size() - 32;
    const LzssSegment segment{window,   end, stop_, std::numeric_limits<std::int32_t>::max(),
                              outLimit, startBits_.data(), startsBase_};
    end_ = coder.code(segment, from_).pos;
    const LzssBits& bits = coder.bits();
    streamBits_ = static_cast<std::uint64_t>(bits.out - out_.data()) * 8 +
                  static_cast<std::uint64_t>(bits.bitCount);
  }

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
  std::int32_t advance(std::int32_t pos, std::int32_t& count) const {
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

// One coding run; every call of lzssCompress has its own. It reads the source into its
// window block by block, codes the tokens, prints the progress lines and writes the stream.
// Where a second core is free, each block's stretch of tokens is cut into pieces that two
// threads code at once, and the pieces' parses are joined in order afterwards.
class LzssEncoder {
 public:
  LzssEncoder(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
              ProgressListener* listener, std::size_t blockSize, LzssTuning tuning)
      : input_(input),
        output_(output),
        listener_(listener),
        totalSize_(totalSize),
        tuning_(tuning),
        capacity_(static_cast<std::int32_t>(2 * KEEP_AHEAD + windowBlock(totalSize, blockSize))),
        windowBytes_(WINDOW_FRONT + static_cast<std::size_t>(capacity_) + WINDOW_SLACK),
        coder_(tuning, windowSize()),
        out_(OUTPUT_BLOCK + OUTPUT_SLACK) {
    std::fill_n(windowBytes_.data(), WINDOW_FRONT, std::uint8_t{0});
    coder_.bits() = {out_.data(), 0, 0};
  }

  CodingResult run() {
    std::fill_n(window(), INITIAL_FILL, FILL_BYTE);
    if (const CodingResult result = fill(); result != CodingResult::Done) return result;
    for (;;) {
      const std::int32_t stop = inputEnded_ ? end_ : end_ - KEEP_AHEAD;
      if (const CodingResult result = codeStretch(stop); result != CodingResult::Done) return result;
      if (inputEnded_) break;
      shiftWindow();
      if (const CodingResult result = fill(); result != CodingResult::Done) return result;
    }
    return finishOutput();
  }

 private:
  // Small sources get a small window; the block size never changes the stream. Window
  // indices are 32-bit, so the block stays far below 2 GiB.
  static std::size_t windowBlock(std::uint64_t totalSize, std::size_t blockSize) {
    const std::size_t block = std::clamp(blockSize, LZSS_MIN_BLOCK, LZSS_MAX_BLOCK);
    if (totalSize + 1 < block)
      return std::max(static_cast<std::size_t>(totalSize + 1), LZSS_MIN_BLOCK);
    return block;
  }

  std::uint8_t* window() { return windowBytes_.data() + WINDOW_FRONT; }
  std::size_t windowSize() const { return windowBytes_.size() - WINDOW_FRONT; }

  // Reads until the window is full or the input has ended.
  CodingResult fill() {
    while (!inputEnded_ && end_ < capacity_) {
      const auto room = static_cast<std::size_t>(capacity_ - end_);
      std::size_t count = 0;
      if (!input_.read({window() + end_, room}, count)) return CodingResult::SourceFailed;
      if (count == 0) {
        inputEnded_ = true;
        break;
      }
      count = std::min(count, room);
      end_ += static_cast<std::int32_t>(count);
      sourceLoaded_ += count;
    }
    // The bytes past the data are read by word compares (and never count).
    std::fill_n(window() + end_, WINDOW_SLACK, std::uint8_t{0});
    return CodingResult::Done;
  }

  // Drops coded bytes that lie out of reach, keeping ring slots (shift multiple of 256).
  void shiftWindow() {
    const std::int32_t shift = (position_ - KEEP_BEHIND) & ~0xFF;
    if (shift <= 0) return;
    std::memmove(window(), window() + shift, static_cast<std::size_t>(end_ - shift));
    position_ -= shift;
    end_ -= shift;
    base_ += static_cast<std::uint64_t>(shift);
    coder_.shift(shift);
    if (secondCoder_) secondCoder_->shift(shift);
  }

  // Codes the tokens that start below `stop`: on two threads when the stretch is long
  // enough and the processor has a second core, else on this one.
  CodingResult codeStretch(std::int32_t stop) {
    if (tuning_.twoThreads && stop - position_ >= std::max(tuning_.minimumSplit, 2 * KEEP_AHEAD)) {
      if (const CodingResult result = codeInPieces(stop); result != CodingResult::Done) return result;
    }
    return codeTokens(stop, std::numeric_limits<std::int64_t>::max());
  }

  // Cuts the stretch up to `stop` into pieces that this thread and a second one code, each
  // taking the next piece when done with the last; this thread also joins the pieces to the
  // stream, in order, as they are done. Codes nothing when no second thread can be started.
  CodingResult codeInPieces(std::int32_t stop) {
    // The last two pieces' worth is cut four times finer, so that the thread that finishes
    // first waits less for the other at the end.
    const std::int32_t length = stop - position_;
    const std::int32_t pieceLength = std::max(KEEP_AHEAD, std::min(PIECE_LENGTH, length / 2));
    const std::int32_t lastLength = std::max(KEEP_AHEAD, pieceLength / 4);
    std::size_t count = 0;
    for (std::int32_t from = position_; from < stop; ++count) {
      const std::int32_t next = from + (stop - from > 2 * pieceLength ? pieceLength : lastLength);
      if (pieces_.size() <= count) pieces_.resize(count + 1);
      pieces_[count].prepare(from, std::min(stop, next));
      from = next;
    }
    if (!secondCoder_) {
      secondCoder_ = std::make_unique<TokenCoder>(tuning_, windowSize());
    }

    std::atomic<std::size_t> next{0};
    const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[count]);
    const std::uint8_t* const window = windowBytes_.data() + WINDOW_FRONT;
    const std::int32_t end = end_;
    auto codePiece = [&](TokenCoder& coder, std::size_t piece) {
      pieces_[piece].code(coder, window, end);
      done[piece].store(true, std::memory_order_release);
    };
    HelperThread::Lease helper = HelperThread::lease();
    if (!helper) return CodingResult::Done;  // none, or another coder has it
    helper.run([&] {
      for (std::size_t piece; (piece = next.fetch_add(1)) < count;) codePiece(*secondCoder_, piece);
    });

    CodingResult status = CodingResult::Done;
    for (std::size_t joined = 0; joined < count && status == CodingResult::Done;) {
      if (done[joined].load(std::memory_order_acquire)) {
        status = joinPiece(pieces_[joined++]);
        continue;
      }
      if (const std::size_t piece = next.fetch_add(1); piece < count) {
        const LzssBits output = coder_.bits();
        codePiece(coder_, piece);
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
  CodingResult joinPiece(const Piece& piece) {
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
        if (const CodingResult result = codeTokens(piece.end(), tokens); result != CodingResult::Done) return result;
      }
      if (position_ >= piece.end()) return CodingResult::Done;  // never met: all coded here
    }
    return takePiece(piece);
  }

  // Appends the piece's tokens from the one at the coding position on, with their progress
  // lines.
  CodingResult takePiece(const Piece& piece) {
    // Where that token begins in the piece's stream: literals take 9 bits, matches 13, and
    // a token is a literal when the next one starts one byte later.
    std::uint64_t bit = 0;
    for (std::int32_t token = piece.from(); token < position_;) {
      std::int32_t one = 1;
      const std::int32_t next = piece.advance(token, one);
      bit += next - token == 1 ? LZSS_LITERAL_BITS : LZSS_MATCH_BITS;
      token = next;
    }

    // The progress lines fall before every 5000th token, counted over the whole stream.
    for (std::int32_t token = position_;;) {
      if (untilProgress_ == 0) {
        printProgress(token);
        untilProgress_ = PROGRESS_INTERVAL;
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

    if (const CodingResult result = appendBits(piece.stream(), bit, piece.streamBits()); result != CodingResult::Done) return result;
    position_ = piece.end();
    return CodingResult::Done;
  }

  // Appends bits [bit, endBit) of `stream` (first bit highest) to the output.
  CodingResult appendBits(const std::uint8_t* stream, std::uint64_t bit, std::uint64_t endBit) {
    const std::uint8_t* const outLimit = out_.data() + OUTPUT_BLOCK;
    LzssBits& bits = coder_.bits();
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

  // Codes tokens while the coding position lies below `stop`, at most `limit` of them, in
  // stretches between the points where a progress line is due.
  CodingResult codeTokens(std::int32_t stop, std::int64_t limit) {
    const std::uint8_t* const outLimit = out_.data() + OUTPUT_BLOCK;
    while (position_ < stop && limit > 0) {
      if (untilProgress_ == 0) {
        printProgress(position_);
        untilProgress_ = PROGRESS_INTERVAL;
      }
      const auto tokens = static_cast<std::int32_t>(std::min<std::int64_t>(untilProgress_, limit));
      const LzssSegment segment{window(), end_, stop, tokens, outLimit};
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

  void printProgress(std::int32_t pos) const {
    const std::uint64_t step = (base_ + static_cast<std::uint64_t>(pos) - INITIAL_FILL) >> 8;
    const std::uint64_t shown = std::min(sourceLoaded_, WINDOW_LOOKAHEAD + 256 * step);
    if (listener_ != nullptr) listener_->progress(shown, totalSize_);
  }

  CodingResult flushOutput() {
    LzssBits& bits = coder_.bits();
    const auto count = static_cast<std::size_t>(bits.out - out_.data());
    // The partial byte (if any) was written at bits.out and stays pending.
    const std::uint8_t pending = *bits.out;
    bits.out = out_.data();
    if (count == 0) return CodingResult::Done;
    const bool written = output_.put({out_.data(), count});
    out_.data()[0] = pending;
    return written ? CodingResult::Done : CodingResult::SinkFailed;
  }

  // The last token already placed the pending bits, followed by 0 bits, at the output.
  CodingResult finishOutput() {
    LzssBits& bits = coder_.bits();
    if (bits.bitCount > 0) ++bits.out;
    bits.bitCount = 0;
    return flushOutput();
  }

  ByteSource& input_;
  ByteSink& output_;
  ProgressListener* const listener_;
  const std::uint64_t totalSize_;
  const LzssTuning tuning_;
  const std::int32_t capacity_;  // window bytes that may hold data
  RawBytes windowBytes_;
  TokenCoder coder_;
  // The second thread's searches and the pieces of the current stretch, made when a
  // stretch is first coded on two threads.
  std::unique_ptr<TokenCoder> secondCoder_;
  std::vector<Piece> pieces_;
  std::int32_t untilProgress_ = PROGRESS_INTERVAL - 1;  // tokens before a progress line

  std::int32_t position_ = INITIAL_FILL;  // window index of the next byte to code
  std::int32_t end_ = INITIAL_FILL;       // window index one past the loaded data
  std::uint64_t base_ = 0;                // sequence index of window index 0
  std::uint64_t sourceLoaded_ = 0;
  bool inputEnded_ = false;

  RawBytes out_;
};

}  // namespace

CodingResult lzssCompressTuned(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                               ProgressListener* listener, std::size_t blockSize,
                               LzssTuning tuning) {
  LzssEncoder encoder(input, output, totalSize, listener, blockSize, tuning);
  return encoder.run();
}

CodingResult lzssCompress(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                          ProgressListener* listener, std::size_t blockSize) {
  return lzssCompressTuned(input, output, totalSize, listener, blockSize, LzssTuning{});
}

}  // namespace kupack
