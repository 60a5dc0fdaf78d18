// Builds archives byte by byte for the reader's tests, without the writer: the header,
// one directory record per entry and the data area, with offsets summed as the format
// wants. Hostile archives are made by patching the result (see the offsets helpers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kupack::test {

struct BuiltEntry {
  std::string name;  // code page 932 bytes as recorded
  std::uint8_t type = 0;
  std::string data;  // the entry's stored bytes
  std::uint32_t sourceSize = 0;
};

inline BuiltEntry storedEntry(std::string name, std::string data) {
  const auto size = static_cast<std::uint32_t>(data.size());
  return {std::move(name), 0, std::move(data), size};
}

inline void appendBE32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

inline std::string buildArchiveBytes(const std::vector<BuiltEntry>& entries) {
  std::uint32_t dataOffset = 6;
  for (const auto& entry : entries)
    dataOffset += static_cast<std::uint32_t>(entry.name.size() + 14);
  std::string out;
  out += static_cast<char>((entries.size() >> 8) & 0xFF);
  out += static_cast<char>(entries.size() & 0xFF);
  appendBE32(out, dataOffset);
  std::uint32_t offset = 0;
  for (const auto& entry : entries) {
    out += entry.name;
    out += '\0';
    out += static_cast<char>(entry.type);
    appendBE32(out, offset);
    appendBE32(out, static_cast<std::uint32_t>(entry.data.size()));
    appendBE32(out, entry.sourceSize);
    offset += static_cast<std::uint32_t>(entry.data.size());
  }
  for (const auto& entry : entries) out += entry.data;
  return out;
}

// Stream vectors: "aaaa" as LZSS, and a 2 x 1 picture (blue 10/11, green 20/18, red 30/30)
// as SPB.
inline const std::string LZSS_AAAA("\xB0\xBB\xC4", 3);
inline const std::string SPB_2X1("\x00\x02\x00\x01\x0A\xE8\x14\x30\x00\x3C\x00", 11);
// The 62-byte 24-bit BMP file of the 2 x 1 picture that SPB_2X1 codes.
inline const std::string BMP_2X1 =
    std::string("BM\x3E\0\0\0\0\0\0\0\x36\0\0\0", 14) +
    std::string("\x28\0\0\0\x02\0\0\0\x01\0\0\0\x01\0\x18\0\0\0\0\0\x08\0\0\0"
                "\x13\x0B\0\0\x13\x0B\0\0\0\0\0\0\0\0\0\0",
                40) +
    std::string("\x0A\x14\x1E\x0B\x12\x1E\0\0", 8);

// One entry of each type, in folders: the archive most tests start from.
inline std::vector<BuiltEntry> sampleEntries() {
  return {storedEntry("readme.txt", "hello\n"),
          {"pic\\pal.bmp", 2, LZSS_AAAA, 4},
          {"pic\\true.bmp", 1, SPB_2X1, 60},
          storedEntry("sub\\deep\\empty.dat", "")};
}

}  // namespace kupack::test
