// What every system's held file shares: owning its handle and moving it. Opening, reading
// and closing are the system's (held_file_posix.cpp, held_file_win32.cpp).
#include <utility>

#include "platform/held_file.h"

namespace kupack::platform {

HeldFile::~HeldFile() { close(); }

HeldFile::HeldFile(HeldFile&& other) noexcept { *this = std::move(other); }

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    device_ = other.device_;
    fileNumber_ = other.fileNumber_;
    size_ = other.size_;
    modified_ = other.modified_;
  }
  return *this;
}

}  // namespace kupack::platform
