#include "codec/raw_bytes.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace kupack::raw_bytes_detail {
namespace {

// Smaller blocks come and go cheaply through the allocator; larger ones would be mapped
// afresh by the system each time.
constexpr std::size_t SMALLEST_SHELVED = std::size_t{64} << 10;
constexpr std::size_t SHELF_PLACES = 8;

// Set when the shelf is gone at the process's end (a block given up by an object destroyed
// later is then simply freed); trivially destructible, so readable to the very end.
std::atomic<bool> shelfGone{false};

struct Shelf {
  struct Place {
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t capacity = 0;
  };
  std::mutex mutex;
  std::array<Place, SHELF_PLACES> places;
  std::size_t bytes = 0;
  ~Shelf() { shelfGone.store(true); }

  Place* smallestHeld() {
    Place* smallest = nullptr;
    for (Place& place : places) {
      if (place.block && (smallest == nullptr || place.capacity < smallest->capacity))
        smallest = &place;
    }
    return smallest;
  }
  Place* freePlace() {
    for (Place& place : places) {
      if (!place.block) return &place;
    }
    return nullptr;
  }
};

Shelf& shelf() {
  static Shelf processShelf;
  return processShelf;
}

}  // namespace

std::unique_ptr<std::uint8_t[]> takeBlock(std::size_t size, std::size_t& capacity) {
  if (size >= SMALLEST_SHELVED && !shelfGone.load()) {
    Shelf& held = shelf();
    const std::lock_guard lock(held.mutex);
    Shelf::Place* best = nullptr;
    for (Shelf::Place& place : held.places) {
      if (place.block && place.capacity >= size &&
          (best == nullptr || place.capacity < best->capacity))
        best = &place;
    }
    if (best != nullptr) {
      capacity = best->capacity;
      held.bytes -= best->capacity;
      best->capacity = 0;
      return std::move(best->block);
    }
  }
  capacity = size;
  return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]);
}

void giveBack(std::unique_ptr<std::uint8_t[]> block, std::size_t capacity) {
  if (capacity < SMALLEST_SHELVED || capacity > SHELF_BYTES || shelfGone.load()) return;
  Shelf& held = shelf();
  const std::lock_guard lock(held.mutex);
  // Smaller blocks make room for this one while it would pass the bound or find no place.
  while (held.bytes + capacity > SHELF_BYTES || held.freePlace() == nullptr) {
    Shelf::Place* smallest = held.smallestHeld();
    if (smallest == nullptr || smallest->capacity >= capacity) return;  // frees `block`
    held.bytes -= smallest->capacity;
    smallest->block.reset();
    smallest->capacity = 0;
  }
  Shelf::Place* place = held.freePlace();
  place->block = std::move(block);
  place->capacity = capacity;
  held.bytes += capacity;
}

std::size_t shelvedBytes() {
  if (shelfGone.load()) return 0;
  Shelf& held = shelf();
  const std::lock_guard lock(held.mutex);
  return held.bytes;
}

}  // namespace kupack::raw_bytes_detail
