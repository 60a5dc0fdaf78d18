// The candidate-row search of the LZSS coder, built for x86 processors with 512-bit byte
// compares (AVX-512 BW and VL); elsewhere only its availability check is built, which says no.
#include "codec/lzss_rows.h"
#include "codec/vector_loops.h"

#include <algorithm>
#include <cstdlib>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KUPACK_LZSS_ROWS 1
#include <immintrin.h>
#endif

namespace kupack {

#ifdef KUPACK_LZSS_ROWS

bool lzssRowSearchAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return vectorLoopsAllowed() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  }();
  return available;
}

#define KUPACK_ROWS_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx2,bmi,lzcnt")))

namespace {

constexpr std::int32_t ROW_MASK = LzssCandidateRows::ROWS - 1;
// Rows computed beyond the current token's, so that the next tokens find theirs ready; few,
// as a run of one byte is coded without rows and those computed ahead of it are wasted.
constexpr std::int32_t ROWS_AHEAD = 8;

// Computes the rows of window indices [from, to): four 64-byte compares each.
KUPACK_ROWS_TARGET void computeRows(const std::uint8_t* window, LzssRow* rows, std::int32_t from,
                                    std::int32_t to) {
  for (std::int32_t q = from; q < to; ++q) {
    const __m512i byte = _mm512_set1_epi8(static_cast<char>(window[q]));
    const std::uint8_t* before = window + q - 256;
    std::uint64_t* row = rows[q & ROW_MASK].words;
    row[0] = _mm512_cmpeq_epi8_mask(byte, _mm512_loadu_si512(before));
    row[1] = _mm512_cmpeq_epi8_mask(byte, _mm512_loadu_si512(before + 64));
    row[2] = _mm512_cmpeq_epi8_mask(byte, _mm512_loadu_si512(before + 128));
    row[3] = _mm512_cmpeq_epi8_mask(byte, _mm512_loadu_si512(before + 192));
  }
}

KUPACK_ROWS_TARGET inline __m256i rowAt(LzssRow* rows, std::int32_t q) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(rows[q & ROW_MASK].words));
}

KUPACK_ROWS_TARGET inline bool isEmpty(__m256i set) { return _mm256_testz_si256(set, set) != 0; }

// The highest bit of a set that is not empty: 64 * word + bit.
KUPACK_ROWS_TARGET inline std::int32_t highestBit(__m256i set) {
  const unsigned words = _mm256_test_epi64_mask(set, set);
  const int word = 31 - __builtin_clz(words);
  const __m256i moved = _mm256_permutexvar_epi64(_mm256_set1_epi64x(word), set);
  std::uint64_t value;  // the low word, also on 32-bit processors
  _mm_storel_epi64(reinterpret_cast<__m128i*>(&value), _mm256_castsi256_si128(moved));
  return 64 * word + 63 - static_cast<std::int32_t>(__builtin_clzll(value));
}

// `set` if `take`, else `otherwise`.
KUPACK_ROWS_TARGET inline __m256i either(int take, __m256i set, __m256i otherwise) {
  return _mm256_blendv_epi8(otherwise, set, _mm256_set1_epi64x(-static_cast<long long>(take)));
}

// Extends the candidates `match` of a match of `length` bytes at `pos` one byte at a time,
// up to `limit` bytes; returns the candidates of the longest.
KUPACK_ROWS_TARGET inline __m256i extendStepwise(LzssRow* rows, std::int32_t pos, __m256i match,
                                                 std::int32_t& length, std::int32_t limit) {
  for (; length < limit; ++length) {
    const __m256i longer = _mm256_and_si256(match, rowAt(rows, pos + length));
    if (isEmpty(longer)) break;
    match = longer;
  }
  return match;
}

// The same for a match of 2 bytes that may grow to 17. The bytes are taken 3, 4, 4 and 4 at
// a time, with one branch per group: where a match ends within a group is found without a
// branch, as a branch there would be mispredicted for most matches.
KUPACK_ROWS_TARGET inline __m256i extendToLongest(LzssRow* rows, std::int32_t pos, __m256i match,
                                                  std::int32_t& length) {
  {
    const __m256i a = _mm256_and_si256(match, rowAt(rows, pos + 2));
    const __m256i b = _mm256_and_si256(a, rowAt(rows, pos + 3));
    const __m256i c = _mm256_and_si256(b, rowAt(rows, pos + 4));
    if (isEmpty(c)) {
      const int hasA = !isEmpty(a);
      const int hasB = !isEmpty(b);
      length = 2 + hasA + hasB;
      return either(hasB, b, either(hasA, a, match));
    }
    match = c;
    length = 5;
  }
  while (length < LZSS_MAX_MATCH) {
    const __m256i a = _mm256_and_si256(match, rowAt(rows, pos + length));
    const __m256i b = _mm256_and_si256(a, rowAt(rows, pos + length + 1));
    const __m256i c = _mm256_and_si256(b, rowAt(rows, pos + length + 2));
    const __m256i d = _mm256_and_si256(c, rowAt(rows, pos + length + 3));
    if (isEmpty(d)) {
      const int hasA = !isEmpty(a);
      const int hasB = !isEmpty(b);
      const int hasC = !isEmpty(c);
      length += hasA + hasB + hasC;
      return either(hasC, c, either(hasB, b, either(hasA, a, match)));
    }
    match = d;
    length += 4;
  }
  return match;
}

// The loop of lzssCodeWithRows, with or without marking token starts: without, it keeps
// two registers free, which the loop is short of.
template <bool markStarts>
KUPACK_ROWS_TARGET LzssProgress codeWithRows(LzssCandidateRows& state, BitCursor& bitsIn,
                                             std::int32_t pos, const LzssSegment& segment) {
  const std::uint8_t* const window = segment.window;
  const std::int32_t end = segment.end;
  LzssRow* const rows = state.rows.data();
  std::int32_t rowsFrom = state.from;
  std::int32_t rowsDone = state.done;
  BitCursor bits = bitsIn;
  LzssProgress progress;
  // The candidates of every token: the 239 bytes just before it, the row's top 239 bits.
  const __m256i reach = _mm256_set_epi64x(-1, -1, -1, static_cast<long long>(~0x1FFFFull));
  [[maybe_unused]] std::uint64_t* const starts = segment.starts;
  [[maybe_unused]] const std::int32_t startsBase = segment.startsBase;

  while (pos < segment.stop && progress.tokens < segment.tokens && bits.out < segment.outLimit) {
    ++progress.tokens;
    if constexpr (markStarts) lzssMarkStart(starts, startsBase, pos);
    const std::int32_t limit = std::min(LZSS_MAX_MATCH, end - pos);
    if (limit == LZSS_MAX_MATCH && lzssIsRunOfEighteen(window + pos - 1)) {
      lzssPutMatch(bits, pos - 1, LZSS_MAX_MATCH);
      ++progress.matches;
      pos += LZSS_MAX_MATCH;
      continue;
    }
    if (limit < 2) {
      lzssPutLiteral(bits, window[pos]);
      ++pos;
      continue;
    }
    // The rows of the bytes a match may cover.
    if (pos > rowsDone || pos < rowsFrom) rowsFrom = rowsDone = pos;
    if (rowsDone < pos + limit) {
      const std::int32_t upTo = std::min(end, pos + limit + ROWS_AHEAD);
      computeRows(window, rows, rowsDone, upTo);
      rowsDone = upTo;
      rowsFrom = std::max(rowsFrom, rowsDone - LzssCandidateRows::ROWS);
    }
    __m256i match =
        _mm256_and_si256(_mm256_and_si256(rowAt(rows, pos), rowAt(rows, pos + 1)), reach);
    if (isEmpty(match)) {
      lzssPutLiteral(bits, window[pos]);
      ++pos;
      continue;
    }
    std::int32_t length = 2;
    match = limit == LZSS_MAX_MATCH ? extendToLongest(rows, pos, match, length)
                                    : extendStepwise(rows, pos, match, length, limit);
    // Bit b stands for window index pos - 256 + b, whose ring slot is (pos + b) mod 256.
    lzssPutMatch(bits, pos + highestBit(match), length);
    ++progress.matches;
    pos += length;
  }

  state.from = rowsFrom;
  state.done = rowsDone;
  bitsIn = bits;
  progress.pos = pos;
  return progress;
}

}  // namespace

KUPACK_ROWS_TARGET LzssProgress lzssCodeWithRows(LzssCandidateRows& state, BitCursor& bits,
                                                 std::int32_t pos, const LzssSegment& segment) {
  return segment.starts != nullptr ? codeWithRows<true>(state, bits, pos, segment)
                                   : codeWithRows<false>(state, bits, pos, segment);
}

#else

bool lzssRowSearchAvailable() { return false; }

// Never called: the coder asks lzssRowSearchAvailable() first.
LzssProgress lzssCodeWithRows(LzssCandidateRows&, BitCursor&, std::int32_t, const LzssSegment&) {
  std::abort();
}

#endif

}  // namespace kupack
