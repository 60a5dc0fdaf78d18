// The CRC-32 (zlib's) of decoded entry bytes, for -l --long and --diff.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "codec/byte_stream.h"

namespace kupack {

// Takes the CRC-32 and the count of the bytes handed to it.
class CrcSink final : public ByteSink {
 public:
  bool put(std::span<const std::uint8_t> bytes) override {
    // zlib takes lengths that fit its uInt; pieces are far smaller, but never trust that.
    for (std::size_t done = 0; done < bytes.size();) {
      const std::size_t piece = std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30);
      crc_ = ::crc32(crc_, bytes.data() + done, static_cast<uInt>(piece));
      done += piece;
    }
    size_ += bytes.size();
    return true;
  }
  std::uint32_t value() const { return static_cast<std::uint32_t>(crc_); }
  std::uint64_t size() const { return size_; }

 private:
  uLong crc_ = ::crc32(0L, Z_NULL, 0);
  std::uint64_t size_ = 0;
};

}  // namespace kupack
