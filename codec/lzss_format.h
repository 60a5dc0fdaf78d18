// The modified LZSS stream's fixed choices, shared by the coder and the decoder: the ring, the
// reach, the match lengths and the codes of the two kinds of token. Positions count from the
// first of 239 fill spaces, which the source follows; a match names where it starts by that
// position modulo 256 (its ring slot).
#pragma once

#include <cstdint>

namespace kupack {

inline constexpr std::int32_t LZSS_INITIAL_FILL = 239;
inline constexpr std::uint8_t LZSS_FILL_BYTE = 0x20;
inline constexpr std::int32_t LZSS_REACH = 239;  // a match starts 1 to 239 bytes back
inline constexpr std::int32_t LZSS_MIN_MATCH = 2;
inline constexpr std::int32_t LZSS_MAX_MATCH = 17;

// A token's code: a literal is 1 and the byte; a match is 0, the ring slot of its start
// (window index modulo 256) and its length - 2.
inline constexpr int LZSS_LITERAL_BITS = 9;
inline constexpr int LZSS_MATCH_BITS = 13;
inline std::uint64_t lzssLiteralCode(std::uint8_t byte) { return 0x100u | byte; }
inline std::uint64_t lzssMatchCode(std::int32_t start, std::int32_t length) {
  return static_cast<std::uint32_t>((start & 0xFF) << 4 | (length - 2));
}

// The coder's progress comes before every 5000th token. It tells how much of the source a
// 512-byte window would have taken in with the coding position at window index 239..494: the
// source up to 273 bytes beyond the start of the current 256-byte step.
inline constexpr std::int32_t LZSS_PROGRESS_INTERVAL = 5000;
inline constexpr std::uint64_t LZSS_WINDOW_LOOKAHEAD = 273;

}  // namespace kupack
