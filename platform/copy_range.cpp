// HeldFile::copyTo: moves a range of a held file to the end of a stream being written,
// by the system's own file-to-file copy where there is one, in large blocks otherwise.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit positions on 32-bit systems as well
#endif
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

#if defined(__linux__)
#include <unistd.h>
#endif

namespace kupack::platform {
namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;

// Large positioned reads from the held file, large writes to the stream.
bool copyInBlocks(const HeldFile& source, std::uint64_t position, std::uint64_t length,
                  std::FILE* destination) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(
      length < BLOCK_SIZE ? length : static_cast<std::uint64_t>(BLOCK_SIZE)));
  while (length > 0) {
    const std::size_t size =
        static_cast<std::size_t>(length < block.size() ? length : block.size());
    if (!source.readAt(position, std::span<std::uint8_t>(block.data(), size))) return false;
    errno = 0;
    if (std::fwrite(block.data(), 1, size, destination) != size) {
      if (errno == 0) errno = EIO;
      return false;
    }
    position += size;
    length -= size;
  }
  return true;
}

#if defined(__linux__)
// copy_file_range from the held descriptor to the stream's descriptor; `copied` tells how
// far it got, so that a system or file system without it falls back for the rest.
bool copyInKernel(int from, std::uint64_t position, std::uint64_t length, std::FILE* destination,
                  std::uint64_t& copied) {
  copied = 0;
  const int to = fileno(destination);
  errno = 0;
  const off_t start = ftello(destination);
  if (to < 0 || start < 0 || std::fflush(destination) != 0) return false;
  off_t in = static_cast<off_t>(position);
  off_t out = start;
  // Bounded steps, so that a 32-bit size_t never truncates a length.
  constexpr std::uint64_t STEP = std::uint64_t{1} << 30;
  while (copied < length) {
    const std::uint64_t want = length - copied < STEP ? length - copied : STEP;
    const ssize_t moved = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(want), 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) {
      if (moved == 0) errno = EIO;  // the held file ended before the range did
      break;
    }
    copied += static_cast<std::uint64_t>(moved);
  }
  // The stream goes on after what was copied, whatever happened.
  const int error = errno;
  if (fseeko(destination, out, SEEK_SET) != 0) return false;
  errno = error;
  return copied == length;
}
#endif

}  // namespace

bool HeldFile::copyTo(std::uint64_t position, std::uint64_t length, std::FILE* destination) const {
  if (length == 0) return true;
#if defined(__linux__)
  std::uint64_t copied = 0;
  if (copyInKernel(static_cast<int>(handle_), position, length, destination, copied)) return true;
  // Not offered here (an old kernel, another file system, a file system that refuses it):
  // the rest goes through the process. A file that ended early stays a failure.
  if (errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP &&
      errno != ENOTSUP)
    return false;
  return copyInBlocks(*this, position + copied, length - copied, destination);
#else
  return copyInBlocks(*this, position, length, destination);
#endif
}

}  // namespace kupack::platform
