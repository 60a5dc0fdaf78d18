// The bitmap parser's file end: reads a bitmap file's headers, or opens it for the parser to
// decide and hands the picture's rows to the SPB coder (or to a comparison) a band at a time,
// read from the file as they are needed; a read that fails is a failure naming the file.
#pragma once

#include <cstdint>
#include <string>

#include "codec/bitmap.h"
#include "common/status.h"
#include "platform/platform.h"

namespace kupack {

class BitmapFile {
 public:
  BitmapFile() = default;
  BitmapFile(const BitmapFile&) = delete;
  BitmapFile& operator=(const BitmapFile&) = delete;

  // Reads the headers only. False when the file cannot be opened or holds fewer than 54
  // bytes; the image's headers are zero then.
  bool readHeaders(const std::string& nativePath);
  const BitmapImage& image() const { return headers_; }

  // Opens the file and lets the parser decide (BitmapRows::inspect); `verdict` as it says.
  // On CodeAsSpb, rows() reads the picture from the file. A file that cannot be opened or
  // read is a failure naming the file; `verdict` is then not set.
  Status open(const std::string& nativePath, BitmapVerdict& verdict);
  BitmapRows& rows() { return rows_; }
  // Why the rows could not be read: the file became shorter, or the read failed.
  const Status& failure() const { return file_.failure; }

 private:
  // The open file by position; remembers why a read failed.
  struct Source final : PositionedSource {
    std::uint64_t size() const override { return file.size(); }
    bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override;
    void willRead(std::uint64_t position, std::uint64_t length) override {
      file.willRead(position, length);
    }
    platform::HeldFile file;
    std::string path;
    Status failure = Status::ok();
  };

  BitmapImage headers_;
  Source file_;
  BitmapRows rows_{file_};
};

}  // namespace kupack
