#include "archive/bitmap_file.h"

#include <cerrno>

#include "archive/file_holder.h"

namespace kupack {

bool BitmapFile::readHeaders(const std::string& nativePath) {
  FileHolder file;
  std::uint8_t head[BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE];
  std::size_t got = 0;
  if (file.open(nativePath, "rb")) got = file.read(head, sizeof head);
  return headers_.readBitmapHeaders({head, got});
}

Status BitmapFile::open(const std::string& nativePath, BitmapVerdict& verdict) {
  file_.path = nativePath;
  file_.failure = Status::ok();
  errno = 0;
  if (!file_.file.openForReading(nativePath)) {
    return Status::file(Status::Code::CannotOpen, nativePath, errno != 0 ? errno : EIO);
  }
  const std::optional<BitmapVerdict> decided = rows_.inspect();
  if (!decided) return file_.failure;
  verdict = *decided;
  return Status::ok();
}

bool BitmapFile::Source::read(std::uint64_t position, std::span<std::uint8_t> buffer) {
  errno = 0;
  if (file.readAt(position, buffer)) return true;
  const int error = errno != 0 ? errno : EIO;
  // A read that ends early means a file that has become shorter since it was opened.
  const bool shorter = platform::fileSize(path).value_or(file.size()) != file.size();
  failure = shorter ? Status::file(Status::Code::SourceChanged, path)
                    : Status::file(Status::Code::CannotRead, path, error);
  return false;
}

}  // namespace kupack
