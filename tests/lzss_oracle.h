// The LZSS coder written the plain, slow way, as the reference the fast coder is checked
// against: a 512-byte window with its 256-byte slide, all 239 candidates measured byte by
// byte for every token, source bytes taken and bits emitted one at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kupack::test {

struct OracleLzss {
  std::vector<std::uint8_t> stream;
  // "Bytes read" at each progress line, in the order printed.
  std::vector<std::uint32_t> progressBytes;
};

inline OracleLzss oracleLzss(std::span<const std::uint8_t> source) {
  OracleLzss result;
  std::uint8_t buffer[512];
  std::size_t nextSource = 0;
  std::uint32_t bytesRead = 0;

  int accumulator = 0;
  int mask = 0x80;
  auto emitBit = [&](int bit) {
    if (bit != 0) accumulator |= mask;
    mask >>= 1;
    if (mask == 0) {
      result.stream.push_back(static_cast<std::uint8_t>(accumulator));
      accumulator = 0;
      mask = 0x80;
    }
  };
  auto emitBits = [&](int value, int count) {
    for (int bit = count - 1; bit >= 0; --bit) emitBit((value >> bit) & 1);
  };

  std::memset(buffer, 0x20, 239);
  int dataEnd = 239;
  auto refill = [&] {
    while (dataEnd < 512 && nextSource < source.size()) {
      buffer[dataEnd++] = source[nextSource++];
      ++bytesRead;
    }
  };
  refill();

  int position = 239;
  int searchFloor = 0;
  int progressCounter = 0;
  while (position < dataEnd) {
    if (++progressCounter == 5000) {
      result.progressBytes.push_back(bytesRead);
      progressCounter = 0;
    }
    const int limit = std::min(17, dataEnd - position);
    int bestLength = 1;
    int bestIndex = 0;
    for (int k = position - 1; k >= searchFloor; --k) {
      if (buffer[k] != buffer[position]) continue;
      int length = 1;
      while (length < limit && buffer[k + length] == buffer[position + length]) ++length;
      if (length > bestLength) {
        bestLength = length;
        bestIndex = k;
      }
    }
    if (bestLength >= 2) {
      emitBit(0);
      emitBits(bestIndex & 0xFF, 8);
      emitBits(bestLength - 2, 4);
    } else {
      emitBit(1);
      emitBits(buffer[position], 8);
    }
    position += bestLength;
    searchFloor += bestLength;
    if (position > 494) {
      std::memmove(buffer, buffer + 256, 256);
      position -= 256;
      searchFloor -= 256;
      dataEnd -= 256;
      refill();
    }
  }
  if (mask != 0x80) result.stream.push_back(static_cast<std::uint8_t>(accumulator));
  return result;
}

}  // namespace kupack::test
