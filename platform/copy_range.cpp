// HeldFile::copyTo: moves a range of a held file to the end of a stream being written,
// by the system's own file-to-file copy where there is one, in large blocks otherwise.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit positions on 32-bit systems as well
#endif
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/held_file.h"

#if defined(__linux__)
#include <unistd.h>
#endif

namespace kupack::platform {
namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;

// Large positioned reads from the held file, large writes to the stream.
HeldFile::CopyResult copyInBlocks(const HeldFile& source, std::uint64_t position,
                                  std::uint64_t length, std::FILE* destination) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(
      length < BLOCK_SIZE ? length : static_cast<std::uint64_t>(BLOCK_SIZE)));
  while (length > 0) {
    const std::size_t size =
        static_cast<std::size_t>(length < block.size() ? length : block.size());
    if (!source.readAt(position, std::span<std::uint8_t>(block.data(), size)))
      return HeldFile::CopyResult::ReadFailed;
    errno = 0;
    if (std::fwrite(block.data(), 1, size, destination) != size) {
      if (errno == 0) errno = EIO;
      return HeldFile::CopyResult::WriteFailed;
    }
    position += size;
    length -= size;
  }
  return HeldFile::CopyResult::Copied;
}

#if defined(__linux__)
// Errors of copy_file_range that say it cannot copy between these two files at all.
bool kernelCannotCopyHere(int error) {
  return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP ||
         error == ENOTSUP || error == EBADF;
}

// Errors of copy_file_range that come from the destination.
bool destinationError(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// copy_file_range from the held descriptor to the stream's descriptor; `copied` tells how
// far it got, so that a system or file system without it falls back for the rest.
HeldFile::CopyResult copyInKernel(int from, std::uint64_t position, std::uint64_t length,
                                  std::FILE* destination, std::uint64_t& copied) {
  copied = 0;
  errno = 0;
  const int to = fileno(destination);
  const off_t start = ftello(destination);
  if (to < 0 || start < 0 || std::fflush(destination) != 0) {
    if (errno == 0) errno = EBADF;
    return HeldFile::CopyResult::WriteFailed;
  }
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
  if (fseeko(destination, out, SEEK_SET) != 0) return HeldFile::CopyResult::WriteFailed;
  errno = error;
  if (copied == length) return HeldFile::CopyResult::Copied;
  return destinationError(error) ? HeldFile::CopyResult::WriteFailed
                                 : HeldFile::CopyResult::ReadFailed;
}
#endif

}  // namespace

HeldFile::CopyResult HeldFile::copyTo(std::uint64_t position, std::uint64_t length,
                                      std::FILE* destination) const {
  if (length == 0) return CopyResult::Copied;
#if defined(__linux__)
  std::uint64_t copied = 0;
  const CopyResult result =
      copyInKernel(static_cast<int>(handle_), position, length, destination, copied);
  // Not offered here (an old kernel, another file system, a file system that refuses it):
  // the rest goes through the process. A file that ended early stays a failure.
  if (result != CopyResult::ReadFailed || !kernelCannotCopyHere(errno)) return result;
  return copyInBlocks(*this, position + copied, length - copied, destination);
#else
  return copyInBlocks(*this, position, length, destination);
#endif
}

}  // namespace kupack::platform
