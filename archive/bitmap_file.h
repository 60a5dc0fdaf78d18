// The bitmap parser's file end: reads a bitmap file's headers, or lets the parser decide on an
// open file and hands the picture's rows to the SPB coder (or to a comparison) a band at a
// time, read from the file as they are needed; a read that fails is a failure naming the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/bitmap.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

class BitmapFile {
 public:
  BitmapFile() = default;
  BitmapFile(const BitmapFile&) = delete;
  BitmapFile& operator=(const BitmapFile&) = delete;

  // Reads the headers only. False when the file cannot be read (failure() says why) or
  // holds fewer than 54 bytes; the image's headers are zero then.
  bool readHeaders(const platform::ReadableFile& file);
  // The same for the file at `nativePath`, opened for this alone; false when it cannot be.
  bool readHeaders(const std::string& nativePath);
  const BitmapImage& image() const { return headers_; }

  // Lets the parser decide on `file`, which must outlive this (BitmapRows::inspect);
  // `verdict` as it says. On CodeAsSpb, rows() reads the picture from the file. A file that
  // cannot be read is a failure naming it; `verdict` is then not set.
  Status open(const platform::ReadableFile& file, BitmapVerdict& verdict);
  // The same for the file at `nativePath`, opened here and held; CannotOpen naming it.
  Status open(const std::string& nativePath, BitmapVerdict& verdict);
  BitmapRows& rows() { return rows_; }
  // Why the headers or the rows could not be read: the file became shorter, or the read
  // failed. Ok otherwise.
  const Status& failure() const { return file_.failure; }

 private:
  // The open file by position; remembers why a read failed.
  struct Source final : PositionedSource {
    std::uint64_t size() const override { return file != nullptr ? file->size() : 0; }
    bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override;
    void willRead(std::uint64_t position, std::uint64_t length) override {
      if (file != nullptr) file->willRead(position, length);
    }
    const platform::ReadableFile* file = nullptr;
    Status failure = Status::ok();
  };

  BitmapImage headers_;
  std::unique_ptr<platform::ReadableFile> owned_;  // for a file opened by name here
  Source file_;
  BitmapRows rows_{file_};
};

}  // namespace kupack
