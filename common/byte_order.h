// Loads and stores of little- and big-endian numbers from and to byte arrays, the one place
// where byte order is handled. Every function works on unaligned bytes through memcpy (which
// compilers turn into single loads and stores) and never reads or writes past its width.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kupack {

inline std::uint16_t loadLE16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

inline std::uint32_t loadLE32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint16_t loadBE16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

inline std::uint32_t loadBE32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

inline void storeLE16(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void storeLE32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
  out[2] = static_cast<std::uint8_t>(value >> 16);
  out[3] = static_cast<std::uint8_t>(value >> 24);
}

inline void storeBE16(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
}

inline void storeBE32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

// Eight bytes as they lie in memory, in the processor's own order.
inline std::uint64_t loadNative64(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Swaps a native number to big-endian order and back (nothing to do on big-endian machines).
inline std::uint64_t nativeToBigEndian64(std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    value = value << 32 | value >> 32;
    value = (value & 0x0000FFFF0000FFFFull) << 16 | (value >> 16 & 0x0000FFFF0000FFFFull);
    value = (value & 0x00FF00FF00FF00FFull) << 8 | (value >> 8 & 0x00FF00FF00FF00FFull);
  }
  return value;
}

// The 8 bytes at `bytes` as a number, the first byte highest.
inline std::uint64_t loadBE64(const std::uint8_t* bytes) {
  return nativeToBigEndian64(loadNative64(bytes));
}

// Stores `value` as 8 bytes, the highest first.
inline void storeBE64(std::uint8_t* out, std::uint64_t value) {
  value = nativeToBigEndian64(value);
  std::memcpy(out, &value, sizeof value);
}

}  // namespace kupack
