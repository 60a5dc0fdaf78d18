// RawBytes: a block of bytes that are always written before they are read, so not zeroed
// when allocated: the LZSS coder's large buffers would otherwise cost a pass over fresh
// memory for every file. A block given up goes to a small shelf shared by the process's
// threads, from which the next large RawBytes takes it: coding file after file then reuses
// memory the system has already mapped instead of having fresh pages mapped and cleared each
// time. The shelf holds a few blocks and at most 64 MiB, however many threads code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kupack {

namespace raw_bytes_detail {
inline constexpr std::size_t SHELF_BYTES = std::size_t{64} << 20;
// A block of at least `size` bytes from the shelf (the smallest that will do), or a new one;
// sets `capacity`.
std::unique_ptr<std::uint8_t[]> takeBlock(std::size_t size, std::size_t& capacity);
// Puts a block of `capacity` bytes on the shelf, making room by freeing smaller blocks, or
// frees it when the shelf is full of larger ones.
void giveBack(std::unique_ptr<std::uint8_t[]> block, std::size_t capacity);
// The bytes of the blocks on the shelf now.
std::size_t shelvedBytes();
}  // namespace raw_bytes_detail

class RawBytes {
 public:
  explicit RawBytes(std::size_t size = 0) { resize(size); }
  ~RawBytes() { release(); }
  RawBytes(const RawBytes&) = delete;
  RawBytes& operator=(const RawBytes&) = delete;
  RawBytes(RawBytes&& other) noexcept
      : bytes_(std::move(other.bytes_)), size_(other.size_), capacity_(other.capacity_) {
    other.size_ = other.capacity_ = 0;
  }
  RawBytes& operator=(RawBytes&& other) noexcept {
    if (this != &other) {
      release();
      bytes_ = std::move(other.bytes_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.size_ = other.capacity_ = 0;
    }
    return *this;
  }

  // Makes room for `size` bytes; what was there is not kept.
  void resize(std::size_t size) {
    if (size > capacity_) {
      release();
      bytes_ = raw_bytes_detail::takeBlock(size, capacity_);
    }
    size_ = size;
  }
  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  void release() {
    if (bytes_) raw_bytes_detail::giveBack(std::move(bytes_), capacity_);
    size_ = capacity_ = 0;
  }

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kupack
