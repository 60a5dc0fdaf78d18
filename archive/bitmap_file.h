// The bitmap parser's file end: reads a bitmap file's headers, or the file up to where its
// picture ends, and hands the bytes to a BitmapImage. The bytes live as long as this holder,
// so the parsed picture may be coded from them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/bitmap.h"
#include "common/status.h"

namespace kupack {

class BitmapFile {
 public:
  // Reads the headers only. False when the file cannot be opened or holds fewer than 54
  // bytes; the image's headers are zero then.
  bool readHeaders(const std::string& nativePath);

  // Reads the file from its start up to where its picture ends (never past the file's end)
  // and lets the parser decide; `verdict` as BitmapImage::parseBitmap says. A file that
  // cannot be opened or read, or bytes that cannot be held in memory, is a failure naming
  // the file; `verdict` is then not set.
  Status load(const std::string& nativePath, BitmapVerdict& verdict);

  const BitmapImage& image() const { return image_; }

 private:
  BitmapImage image_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

}  // namespace kupack
