#include "codec/raw_bytes.h"

#include <array>
#include <utility>

namespace kupack::raw_bytes_detail {
namespace {

// Smaller blocks come and go cheaply through the allocator; larger ones would be mapped
// afresh by the system each time.
constexpr std::size_t SMALLEST_SHELVED = std::size_t{64} << 10;
constexpr std::size_t SHELF_PLACES = 4;

// Set when the thread's shelf is gone (a block given up by an object destroyed later in the
// thread's end is then simply freed); trivially destructible, so readable to the very end.
thread_local bool shelfGone = false;

struct Shelf {
  struct Place {
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t capacity = 0;
  };
  std::array<Place, SHELF_PLACES> places;
  ~Shelf() { shelfGone = true; }
};

Shelf& shelf() {
  thread_local Shelf threadShelf;
  return threadShelf;
}

}  // namespace

std::unique_ptr<std::uint8_t[]> takeBlock(std::size_t size, std::size_t& capacity) {
  if (size >= SMALLEST_SHELVED && !shelfGone) {
    Shelf::Place* best = nullptr;
    for (Shelf::Place& place : shelf().places) {
      if (place.block && place.capacity >= size &&
          (best == nullptr || place.capacity < best->capacity))
        best = &place;
    }
    if (best != nullptr) {
      capacity = best->capacity;
      best->capacity = 0;
      return std::move(best->block);
    }
  }
  capacity = size;
  return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]);
}

void giveBack(std::unique_ptr<std::uint8_t[]> block, std::size_t capacity) {
  if (capacity < SMALLEST_SHELVED || shelfGone) return;
  Shelf::Place* smallest = nullptr;
  for (Shelf::Place& place : shelf().places) {
    if (!place.block) {
      smallest = &place;
      break;
    }
    if (smallest == nullptr || place.capacity < smallest->capacity) smallest = &place;
  }
  if (smallest->block && smallest->capacity >= capacity) return;  // frees `block`
  smallest->block = std::move(block);  // frees the smaller block that was there
  smallest->capacity = capacity;
}

}  // namespace kupack::raw_bytes_detail
