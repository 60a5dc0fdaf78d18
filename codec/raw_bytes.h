// RawBytes: a block of bytes that are always written before they are read, so not zeroed
// when allocated: the LZSS coder's large buffers would otherwise cost a pass over fresh
// memory for every file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kupack {

class RawBytes {
 public:
  explicit RawBytes(std::size_t size = 0) { resize(size); }
  // Makes room for `size` bytes; what was there is not kept.
  void resize(std::size_t size) {
    if (size > capacity_) {
      bytes_.reset(new std::uint8_t[size]);
      capacity_ = size;
    }
    size_ = size;
  }
  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kupack
