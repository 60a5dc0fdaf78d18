// The slot ring: the wide search of the LZSS coder on every processor, which tests all 239
// candidates of a token at once with one 256-bit set of ring slots per byte value. Its cost
// depends only on the match length, never on how many candidates share a prefix.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "codec/lzss_search.h"

namespace kupack {

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
inline int nearestDistance(const SlotSet& set, int slot) {
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
      for (int distance = 1; distance <= LZSS_REACH; ++distance) {
        const int candidate = (slot - distance) & 0xFF;
        bySlot[slot].words[SlotSet::wordOf(candidate)] |= SlotSet::bitOf(candidate);
      }
    }
  }
};

inline const ReachTable& reachTable() {
  static const ReachTable table;
  return table;
}

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
    const std::int32_t last = std::min(pos + LZSS_MAX_MATCH, end);
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
  void forget() { entered_ = LZSS_NO_POSITION; }

  // The match at `pos` of at most `limit` (2..17) bytes; the ring must be caught up. The
  // four words of the candidate set live in locals so that they stay in registers.
  LzssMatch findMatch(const std::uint8_t* window, std::int32_t pos, std::int32_t limit) const {
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

// The slot ring as a search strategy. Runs of 18 equal bytes are taken at once.
class LzssRingSearch final : public LzssStrategy {
 public:
  LzssProgress code(const LzssSegment& segment, std::int32_t pos, BitCursor& bits) override;
  void restart() override { ring_.forget(); }
  void shift(std::int32_t shift) override { ring_.shift(shift); }

 private:
  SlotRing ring_;
};

}  // namespace kupack
