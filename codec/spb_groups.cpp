// The SPB coder's groups formed many at a time (see spb_groups.h). The vector version is
// built for x86 processors with GCC or Clang and chosen at run time; elsewhere only the
// portable loop is built.
#include "codec/spb_groups.h"

#include "codec/spb.h"
#include "codec/vector_loops.h"
#include "common/byte_order.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KUPACK_SPB_VECTOR_GROUPS 1
#include <immintrin.h>
#endif

namespace kupack {
namespace {

void formGroupsOneByOne(const std::uint8_t* values, std::size_t groups, std::uint64_t* bits,
                        std::uint8_t* counts) {
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint8_t* v = values + 4 * g;
    const SpbGroupBits group =
        spbGroupBits(foldResidual(v[-1], v[0]), foldResidual(v[0], v[1]),
                     foldResidual(v[1], v[2]), foldResidual(v[2], v[3]), loadBE32(v));
    bits[g] = group.bits;
    counts[g] = static_cast<std::uint8_t>(group.count);
  }
}

// Copies `count` bytes that lie `step` bytes apart, from `from` on, into `to`.
void gatherWithStep(std::uint8_t* to, const std::uint8_t* from, std::size_t count,
                    std::ptrdiff_t step) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4, from += 4 * step) {
    to[i] = from[0];
    to[i + 1] = from[step];
    to[i + 2] = from[2 * step];
    to[i + 3] = from[3 * step];
  }
  for (; i < count; ++i, from += step) to[i] = *from;
}

void gatherOneByOne(std::uint8_t* to, const std::uint8_t* pixels, std::size_t count,
                    std::size_t channel, bool reversed) {
  if (count == 0) return;
  if (!reversed) {
    gatherWithStep(to, pixels + channel, count, 3);
  } else {
    gatherWithStep(to, pixels + 3 * (count - 1) + channel, count, -3);
  }
}

#ifdef KUPACK_SPB_VECTOR_GROUPS

// GCC 12 takes the undefined vectors its own intrinsics start from for uninitialised ones.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KUPACK_SPB_TARGET __attribute__((target("avx512f,avx512bw,avx512cd,avx512vl,avx2")))

// Eight groups at a time, one in each 64-bit lane: the four residuals of a group as 16-bit
// fields of its lane (the first lowest), the class from the bit width of their union, the
// residual coding and the raw coding both formed and one of them kept.
// The group classes by bit width, padded to the 16 words of a two-register permute. Made
// once, not on the stack (whose alignment Windows keeps to 16 bytes).
struct alignas(64) ClassesByWidth {
  std::uint64_t words[16] = {};
};
constexpr ClassesByWidth CLASSES_BY_WIDTH = [] {
  ClassesByWidth table;
  for (std::size_t width = 0; width < spb_detail::GROUP_CLASSES.size(); ++width)
    table.words[width] = spb_detail::GROUP_CLASSES[width];
  return table;
}();

KUPACK_SPB_TARGET void formGroupsEightAtOnce(const std::uint8_t* values, std::size_t groups,
                                             std::uint64_t* bits, std::uint8_t* counts) {
  using namespace spb_detail;
  const __m512i classesLow = _mm512_load_si512(CLASSES_BY_WIDTH.words);
  const __m512i classesHigh = _mm512_load_si512(CLASSES_BY_WIDTH.words + 8);
  const __m512i low16 = _mm512_set1_epi64(0xFFFF);
  const __m512i low8 = _mm512_set1_epi64(0xFF);
  const __m512i rawCode = _mm512_set1_epi64(static_cast<long long>(RAW_CODE << 32));
  const __m512i rawWidth = _mm512_set1_epi64(RAW_WIDTH);
  // Reverses the bytes of each 32-bit value: four values, first highest.
  const __m256i bigEndian = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                             3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  std::size_t g = 0;
  for (; g + 8 <= groups; g += 8) {
    const std::uint8_t* v = values + 4 * g;
    const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v - 1));
    const __m512i doubled = _mm512_slli_epi16(
        _mm512_sub_epi16(_mm512_cvtepu8_epi16(before), _mm512_cvtepu8_epi16(current)), 1);
    const __m512i residuals = _mm512_xor_si512(doubled, _mm512_srai_epi16(doubled, 15));
    __m512i all = _mm512_or_si512(residuals, _mm512_srli_epi64(residuals, 32));
    all = _mm512_and_si512(_mm512_or_si512(all, _mm512_srli_epi64(all, 16)), low16);
    const __m512i width = _mm512_sub_epi64(_mm512_set1_epi64(64), _mm512_lzcnt_epi64(all));
    const __m512i packed = _mm512_permutex2var_epi64(classesLow, width, classesHigh);
    const __m512i w = _mm512_and_si512(_mm512_srli_epi64(packed, 16), low8);
    __m512i coded = _mm512_and_si512(packed, low8);
    coded = _mm512_or_si512(_mm512_sllv_epi64(coded, w), _mm512_and_si512(residuals, low16));
    coded = _mm512_or_si512(_mm512_sllv_epi64(coded, w),
                            _mm512_and_si512(_mm512_srli_epi64(residuals, 16), low16));
    coded = _mm512_or_si512(_mm512_sllv_epi64(coded, w),
                            _mm512_and_si512(_mm512_srli_epi64(residuals, 32), low16));
    coded = _mm512_or_si512(_mm512_sllv_epi64(coded, w), _mm512_srli_epi64(residuals, 48));
    const __m512i raw =
        _mm512_or_si512(rawCode, _mm512_cvtepu32_epi64(_mm256_shuffle_epi8(current, bigEndian)));
    const __mmask8 isRaw = _mm512_cmpge_epu64_mask(width, rawWidth);
    _mm512_storeu_si512(bits + g, _mm512_mask_blend_epi64(isRaw, coded, raw));
    const __m512i count = _mm512_add_epi64(_mm512_and_si512(_mm512_srli_epi64(packed, 8), low8),
                                           _mm512_slli_epi64(w, 2));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(counts + g), _mm512_cvtepi64_epi8(count));
  }
  formGroupsOneByOne(values + 4 * g, groups - g, bits + g, counts + g);
}

#define KUPACK_SPB_GATHER_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// For each channel and direction, where in 192 bytes of 64 pixels each value out comes from:
// the index within the first 128 bytes, the index within the last 64, and which values come
// from the last 64.
struct GatherIndices {
  alignas(64) std::uint8_t first[64];
  alignas(64) std::uint8_t last[64];
  std::uint64_t fromLast = 0;
};
struct GatherTable {
  GatherIndices byChannel[3][2];  // [channel][reversed]
  GatherTable() {
    for (std::size_t channel = 0; channel < 3; ++channel) {
      for (int reversed = 0; reversed < 2; ++reversed) {
        GatherIndices& indices = byChannel[channel][reversed];
        for (std::size_t i = 0; i < 64; ++i) {
          const std::size_t at = 3 * (reversed != 0 ? 63 - i : i) + channel;
          indices.first[i] = static_cast<std::uint8_t>(at & 0x7F);
          indices.last[i] = static_cast<std::uint8_t>(at & 0x3F);
          if (at >= 128) indices.fromLast |= std::uint64_t{1} << i;
        }
      }
    }
  }
};

// 64 pixels (192 bytes) at a time: the values among the first 128 bytes by one two-register
// byte permute, those among the last 64 by a masked one.
KUPACK_SPB_GATHER_TARGET void gather64AtOnce(std::uint8_t* to, const std::uint8_t* pixels,
                                             std::size_t count, std::size_t channel,
                                             bool reversed) {
  static const GatherTable table;
  const GatherIndices& indices = table.byChannel[channel][reversed ? 1 : 0];
  const __m512i first = _mm512_load_si512(indices.first);
  const __m512i last = _mm512_load_si512(indices.last);
  const __mmask64 lastMask = indices.fromLast;
  std::size_t done = 0;
  for (; done + 64 <= count; done += 64) {
    // Reversed, the first 64 values out are those of the last 64 pixels.
    const std::uint8_t* block = reversed ? pixels + 3 * (count - done - 64) : pixels + 3 * done;
    const __m512i a = _mm512_loadu_si512(block);
    const __m512i b = _mm512_loadu_si512(block + 64);
    const __m512i c = _mm512_loadu_si512(block + 128);
    const __m512i values = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(a, first, b),
                                                        lastMask, last, c);
    _mm512_storeu_si512(to + done, values);
  }
  gatherOneByOne(to + done, reversed ? pixels : pixels + 3 * done, count - done, channel,
                 reversed);
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

}  // namespace

#ifdef KUPACK_SPB_VECTOR_GROUPS

bool spbVectorGroupsAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return vectorLoopsAllowed() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
           __builtin_cpu_supports("avx512vl");
  }();
  return available;
}

bool spbVectorGatherAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return vectorLoopsAllowed() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  }();
  return available;
}

void spbGatherChannel(std::uint8_t* to, const std::uint8_t* pixels, std::size_t count,
                      std::size_t channel, bool reversed) {
  if (count >= 64 && spbVectorGatherAvailable()) {
    gather64AtOnce(to, pixels, count, channel, reversed);
  } else {
    gatherOneByOne(to, pixels, count, channel, reversed);
  }
}

void spbFormGroups(const std::uint8_t* values, std::size_t groups, std::uint64_t* bits,
                   std::uint8_t* counts) {
  if (spbVectorGroupsAvailable()) {
    formGroupsEightAtOnce(values, groups, bits, counts);
  } else {
    formGroupsOneByOne(values, groups, bits, counts);
  }
}

#else

bool spbVectorGroupsAvailable() { return false; }
bool spbVectorGatherAvailable() { return false; }

void spbGatherChannel(std::uint8_t* to, const std::uint8_t* pixels, std::size_t count,
                      std::size_t channel, bool reversed) {
  gatherOneByOne(to, pixels, count, channel, reversed);
}

void spbFormGroups(const std::uint8_t* values, std::size_t groups, std::uint64_t* bits,
                   std::uint8_t* counts) {
  formGroupsOneByOne(values, groups, bits, counts);
}

#endif

}  // namespace kupack
