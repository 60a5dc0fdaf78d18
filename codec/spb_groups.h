// The SPB coder's inner loops, many values at a time: a plane's values taken from rows of
// pixels, and for a run of them the bits and the bit count of every whole group of four,
// ready to be appended in order. Where the processor has 512-bit vectors (AVX-512 F, BW, CD
// and VL; byte permutes, VBMI, for the values) 64 values or eight groups are done at once;
// elsewhere one after the other. Both give exactly the values and groups of the plain loops.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kupack {

// Forms the `groups` whole groups of the values `values[0]` to `values[4 * groups - 1]`,
// each value's residual taken against the value before it (`values[-1]` for the first):
// group g's bits go to `bits[g]` and their number to `counts[g]`.
void spbFormGroups(const std::uint8_t* values, std::size_t groups, std::uint64_t* bits,
                   std::uint8_t* counts);

// Copies the values of channel `channel` (0 to 2) of the `count` 3-byte pixels from `pixels`
// on into `to`, the first pixel's first, or with `reversed` the last pixel's first. Reads
// only the pixels' bytes.
void spbGatherChannel(std::uint8_t* to, const std::uint8_t* pixels, std::size_t count,
                      std::size_t channel, bool reversed);

// Whether this processor forms eight groups at once, and takes 64 values at once.
bool spbVectorGroupsAvailable();
bool spbVectorGatherAvailable();

}  // namespace kupack
