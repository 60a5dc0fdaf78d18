#include "archive/bitmap_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "archive/file_holder.h"

namespace kupack {
namespace {

// Enough for both headers and the bit-field masks that may follow them.
constexpr std::size_t HEAD_SIZE = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE + 12;

// The file changed while being read (shorter or longer than when it was opened), or the
// errno of a failed read.
Status readFailure(const FileHolder& file) {
  if (file.changed()) return Status::file(Status::Code::SourceChanged, file.path());
  const int error = file.readFailed() && errno != 0 ? errno : EIO;
  return Status::file(Status::Code::CannotRead, file.path(), error);
}

Status outOfMemory(const std::string& nativePath) {
  return Status::file(Status::Code::OutOfMemory, nativePath);
}

}  // namespace

bool BitmapFile::readHeaders(const std::string& nativePath) {
  bytes_.reset();
  FileHolder file;
  std::uint8_t head[BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE];
  std::size_t got = 0;
  if (file.open(nativePath, "rb")) got = file.read(head, sizeof head);
  return image_.readBitmapHeaders({head, got});
}

Status BitmapFile::load(const std::string& nativePath, BitmapVerdict& verdict) {
  image_.releaseBitmap();
  bytes_.reset();
  FileHolder file;
  errno = 0;
  if (!file.open(nativePath, "rb"))
    return Status::file(Status::Code::CannotOpen, nativePath, errno);
  std::uint8_t head[HEAD_SIZE];
  const std::size_t got = file.read(head, sizeof head);
  if (file.readFailed() || file.changed()) return readFailure(file);
  image_.readBitmapHeaders({head, got});
  const std::uint64_t wanted =
      std::min<std::uint64_t>(file.size(), std::max<std::uint64_t>(image_.pictureEnd(), got));
  if (wanted > std::numeric_limits<std::size_t>::max()) return outOfMemory(nativePath);
  const auto size = static_cast<std::size_t>(wanted);
  bytes_.reset(new (std::nothrow) std::uint8_t[std::max<std::size_t>(size, 1)]);
  if (!bytes_) return outOfMemory(nativePath);
  std::memcpy(bytes_.get(), head, std::min(got, size));
  if (size > got && file.read(bytes_.get() + got, size - got) != size - got) {
    bytes_.reset();
    return readFailure(file);
  }

  verdict = image_.parseBitmap({bytes_.get(), size});
  if (verdict == BitmapVerdict::StoreUnchanged) bytes_.reset();
  return Status::ok();
}

}  // namespace kupack
