#include "archive/bitmap_file.h"

#include <algorithm>

namespace kupack {

bool BitmapFile::readHeaders(const platform::ReadableFile& file) {
  std::uint8_t head[BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE];
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, file.size()));
  file_.failure = file.readAt(0, {head, length});
  if (!file_.failure) return headers_.readBitmapHeaders({});
  return headers_.readBitmapHeaders({head, length});
}

bool BitmapFile::readHeaders(const std::string& nativePath) {
  std::unique_ptr<platform::ReadableFile> file;
  if (!platform::realFileSystem().openReadable(nativePath, file)) return headers_.readBitmapHeaders({});
  return readHeaders(*file);
}

Status BitmapFile::open(const platform::ReadableFile& file, BitmapVerdict& verdict) {
  file_.file = &file;
  file_.failure = Status::ok();
  const std::optional<BitmapVerdict> decided = rows_.inspect();
  if (!decided) return file_.failure;
  verdict = *decided;
  return Status::ok();
}

Status BitmapFile::open(const std::string& nativePath, BitmapVerdict& verdict) {
  owned_.reset();
  if (Status opened = platform::realFileSystem().openReadable(nativePath, owned_); !opened)
    return opened;
  return open(*owned_, verdict);
}

bool BitmapFile::Source::read(std::uint64_t position, std::span<std::uint8_t> buffer) {
  if (file == nullptr) return false;
  Status read = file->readAt(position, buffer);
  if (read) return true;
  failure = std::move(read);
  return false;
}

}  // namespace kupack
