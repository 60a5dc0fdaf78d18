// The .kup container: a 6-byte header (entry count, data offset), one directory record per
// file (name, terminator, type, offset, stored size, source size; integers big-endian), then
// the data area. These are its limits and the normalization every recorded name goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kupack {

inline constexpr std::size_t ARCHIVE_HEADER_SIZE = 6;
inline constexpr std::size_t DIRECTORY_RECORD_OVERHEAD = 14;  // terminator, type, 3 x 32 bits
inline constexpr std::size_t MAX_ENTRY_COUNT = 65535;
inline constexpr std::size_t MAX_NAME_LENGTH = 255;
inline constexpr std::uint64_t MAX_ENTRY_SIZE = 0xFFFFFFFFull;  // sizes and offsets are 32-bit

// A collected name as the directory records it: '/' becomes '\', A to Z become a to z,
// byte by byte (bytes of double-byte characters included); the length never changes.
std::string normalizeName(std::string name);

}  // namespace kupack
