// Ending early on Windows: Ctrl-C, Ctrl-Break and closing the console remove the registered
// files from the console handler before the system ends the process.

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

#include "platform/early_end.h"
#include "platform/internal_win32.h"

namespace kupack::platform {

namespace {

// The files to remove on an early end, in fixed storage the console handler (run on a
// thread of its own) reads without allocating: a slot's path (the system's form, long ones
// with their prefix) is written before its mark.
constexpr int EARLY_END_SLOTS = 40;  // extraction writes up to 32 files at once
constexpr std::size_t EARLY_END_PATH_CAPACITY = 4096;
struct EarlyEndSlot {
  std::atomic<bool> used{false};
  wchar_t path[EARLY_END_PATH_CAPACITY] = {};
};
EarlyEndSlot earlyEndSlots[EARLY_END_SLOTS];

BOOL WINAPI removeRegisteredOnConsoleEnd(DWORD) {
  for (EarlyEndSlot& slot : earlyEndSlots) {
    if (slot.used.load(std::memory_order_acquire)) DeleteFileW(slot.path);
  }
  return FALSE;  // the system's own handling then ends the process
}

}  // namespace

void installEarlyEndCleanup() {
  static const bool installed = SetConsoleCtrlHandler(removeRegisteredOnConsoleEnd, TRUE) != 0;
  static_cast<void>(installed);
}

void RemovedOnEarlyEnd::track(const std::string& path) {
  release();
  const std::optional<std::wstring> name = wide(path);
  if (!name || name->size() >= EARLY_END_PATH_CAPACITY) return;
  for (int i = 0; i < EARLY_END_SLOTS; ++i) {
    EarlyEndSlot& slot = earlyEndSlots[i];
    if (slot.used.load(std::memory_order_acquire)) continue;
    std::memcpy(slot.path, name->c_str(), (name->size() + 1) * sizeof(wchar_t));
    slot.used.store(true, std::memory_order_release);
    slot_ = i;
    return;
  }
}

void RemovedOnEarlyEnd::release() {
  if (slot_ >= 0) earlyEndSlots[slot_].used.store(false, std::memory_order_release);
  slot_ = -1;
}

}  // namespace kupack::platform
