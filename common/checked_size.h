// Size arithmetic for the readers and decoders that cannot wrap: every product, sum and
// narrowing of a size that comes from an archive or a stream goes through these, so that
// a 32-bit build refuses what it cannot hold instead of allocating the remainder.
// `Size` is the type the result must fit (size_t by default; tests pass uint32_t).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace kupack {

// `value` as a `Size`, or nullopt when it does not fit.
template <typename Size = std::size_t>
constexpr std::optional<Size> fitSize(std::uint64_t value) {
  if (value > std::uint64_t{std::numeric_limits<Size>::max()}) return std::nullopt;
  return static_cast<Size>(value);
}

// `a` × `b`, or nullopt when the product does not fit a `Size`.
template <typename Size = std::size_t>
constexpr std::optional<Size> checkedMultiply(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t most = std::numeric_limits<Size>::max();
  if (a != 0 && b > most / a) return std::nullopt;
  return static_cast<Size>(a * b);
}

// `a` + `b`, or nullopt when the sum does not fit a `Size`.
template <typename Size = std::size_t>
constexpr std::optional<Size> checkedAdd(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t most = std::numeric_limits<Size>::max();
  if (a > most || b > most - a) return std::nullopt;
  return static_cast<Size>(a + b);
}

// The bytes of a `width` × `height` picture of `bytesPerPixel`-byte pixels, or nullopt
// when they do not fit a `Size`.
template <typename Size = std::size_t>
constexpr std::optional<Size> pictureBytes(std::uint64_t width, std::uint64_t height,
                                           std::uint64_t bytesPerPixel) {
  const auto row = checkedMultiply<Size>(width, bytesPerPixel);
  if (!row) return std::nullopt;
  return checkedMultiply<Size>(*row, height);
}

}  // namespace kupack
