// The checks each fuzz target runs on one input, shared with the unit test that replays
// the seeds and every crash input kept in tests/fuzz/regressions/. Each returns "" when
// the input was handled soundly, or what went wrong.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "codec/bitmap.h"
#include "codec/bmp_writer.h"
#include "codec/lzss_decoder.h"
#include "codec/spb.h"
#include "codec/spb_decoder.h"
#include "common/byte_order.h"

namespace kupack::fuzz {

// Bounds that keep one run fast; larger sizes are refused by the same code paths.
inline constexpr std::uint64_t MAX_DECODED_BYTES = 1 << 20;

// Checks a decoded picture: re-coding it and decoding again gives the same picture, and
// its BMP file is exactly as long as its headers say.
inline std::string checkPicture(const SpbPicture& picture) {
  if (picture.pixels.size() != std::uint64_t{picture.width} * picture.height * 3) {
    return "picture size does not match its dimensions";
  }
  const SpbSource view{picture.width, picture.height, picture.pixels.data(),
                       static_cast<std::ptrdiff_t>(picture.width) * 3};
  const std::vector<std::uint8_t> again = encodeSpbToMemory(view);
  SpbPicture second;
  if (Status status = decodeSpb(again, second); !status) {
    return "re-coded picture does not decode: reason " +
           std::to_string(static_cast<int>(status.reason()));
  }
  if (second.width != picture.width || second.height != picture.height ||
      second.pixels != picture.pixels) {
    return "re-coded picture decodes differently";
  }
  const auto fileSize = bmp24FileSize(picture.width, picture.height);
  if (!fileSize) return {};
  std::uint64_t written = 0;
  if (!writeBmp24(picture, [&written](std::span<const std::uint8_t> piece) {
         written += piece.size();
         return true;
       }).isOk()) {
    return "BMP writer refused a picture it can describe";
  }
  return written == *fileSize ? std::string() : "BMP file length differs from its header";
}

// The archive reader: whatever it accepts satisfies every invariant, and every entry it
// accepts can be decoded or is refused with a message, never read outside the input.
inline std::string checkArchiveReader(std::span<const std::uint8_t> data) {
  ArchiveDirectory directory;
  const Status status = parseArchiveDirectory(data, data.size(), "fuzz", directory);
  if (!status) return status.reason() == Status::Reason::None ? "failure without a reason" : "";
  std::uint64_t position = ARCHIVE_HEADER_SIZE;
  std::uint64_t total = 0;
  for (const auto& entry : directory.entries) {
    if (entry.name.empty() || entry.name.size() > MAX_NAME_LENGTH) return "bad name length";
    for (const char c : entry.name) {
      if (c == '\0' || c == '/' || (c >= 'A' && c <= 'Z')) return "name not normalized";
    }
    if (entry.type > ENTRY_LZSS) return "bad type";
    if (entry.offset != total) return "offset is not the sum of the sizes before it";
    if (entry.type == ENTRY_STORED && entry.storedSize != entry.sourceSize) {
      return "stored entry with unequal sizes";
    }
    position += entry.name.size() + DIRECTORY_RECORD_OVERHEAD;
    total += entry.storedSize;
  }
  if (position != directory.dataOffset) return "directory does not end at the data offset";
  if (directory.dataOffset + total != data.size()) return "length does not match the data area";

  for (const auto& entry : directory.entries) {
    Status refusal;
    if (const auto levels = entryPathLevels(entry.name, refusal)) {
      for (const auto& level : *levels) {
        if (level.empty() || level == "." || level == ".." ||
            level.find('/') != std::string::npos || level.find(':') != std::string::npos) {
          return "unsafe level accepted: " + level;
        }
      }
    } else if (refusal.reason() == Status::Reason::None) {
      return "name refused without a reason";
    }
    const auto stream = data.subspan(directory.dataOffset + entry.offset, entry.storedSize);
    if (entry.type == ENTRY_LZSS && entry.sourceSize <= MAX_DECODED_BYTES) {
      std::vector<std::uint8_t> bytes;
      const Status decoded = decodeLzssEntry(entry, stream, bytes);
      if (decoded && bytes.size() != entry.sourceSize) return "LZSS entry of the wrong size";
      if (!decoded && !decoded.hasEntry()) return "LZSS failure not naming the entry";
    } else if (entry.type == ENTRY_SPB) {
      const auto dimensions = spbDimensions(stream);
      if (dimensions &&
          std::uint64_t{dimensions->width} * dimensions->height * 3 > MAX_DECODED_BYTES) {
        continue;
      }
      SpbPicture picture;
      const Status decoded = decodeSpbEntry(entry, stream, picture);
      if (decoded) {
        if (std::string problem = checkPicture(picture); !problem.empty()) return problem;
      } else if (!decoded.hasEntry()) {
        return "SPB failure not naming the entry";
      }
    }
  }
  return {};
}

// A plain ring decoder written straight from the stream's rules, to compare with.
inline bool referenceDecodeLzss(std::span<const std::uint8_t> stream, std::size_t expected,
                                std::vector<std::uint8_t>& out) {
  std::array<std::uint8_t, 256> ring;
  ring.fill(0x20);
  std::size_t slot = 239;
  std::size_t bit = 0;
  const std::size_t totalBits = stream.size() * 8;
  const auto take = [&](unsigned count) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i, ++bit) {
      value = value << 1 | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
  };
  const auto produce = [&](std::uint8_t byte) {
    out.push_back(byte);
    ring[slot] = byte;
    slot = (slot + 1) & 0xFF;
  };
  out.clear();
  while (out.size() < expected) {
    if (totalBits - bit < 9) return false;
    if (take(1) == 1) {
      produce(static_cast<std::uint8_t>(take(8)));
      continue;
    }
    if (totalBits - bit < 12) return false;
    const std::uint32_t position = take(8);
    const std::uint32_t length = take(4) + 2;
    for (std::uint32_t i = 0; i < length && out.size() < expected; ++i) {
      produce(ring[(position + i) & 0xFF]);
    }
  }
  return true;
}

// The LZSS decoder: the first two bytes are the expected size, the rest the stream. It
// agrees with the reference decoder, and what it produces fits the bound the reader uses.
inline std::string checkLzssDecoder(std::span<const std::uint8_t> data) {
  if (data.size() < 2) return {};
  const std::size_t expected = loadBE16(data.data());
  const auto stream = data.subspan(2);
  std::vector<std::uint8_t> out;
  const Status status = decodeLzss(stream, expected, out);
  const bool decoded = status.isOk();
  std::vector<std::uint8_t> reference;
  const bool referenceDecoded = referenceDecodeLzss(stream, expected, reference);
  if (decoded != referenceDecoded) return "decoder and reference disagree on success";
  if (!decoded) return status.reason() == Status::Reason::None ? "failure without a reason" : "";
  if (out != reference) return "decoder and reference disagree on the bytes";
  if (expected > maxLzssOutput(stream.size())) return "output larger than the reader's bound";
  return {};
}

// The SPB decoder: a picture it accepts has the size its header gives and survives being
// re-coded.
inline std::string checkSpbDecoder(std::span<const std::uint8_t> data) {
  const auto dimensions = spbDimensions(data);
  if (dimensions && std::uint64_t{dimensions->width} * dimensions->height * 3 > 4 << 20) {
    return {};  // large pictures only cost time; the allocation bound is the decoder's own
  }
  SpbPicture picture;
  if (Status status = decodeSpb(data, picture); !status) {
    return status.reason() == Status::Reason::None ? "failure without a reason" : "";
  }
  if (!dimensions || picture.width != dimensions->width || picture.height != dimensions->height) {
    return "picture does not have its header's size";
  }
  return checkPicture(picture);
}

// The bitmap parser: every input ends in a verdict; a picture it accepts lies inside the
// input, has dimensions the SPB header holds, codes and decodes back to itself; reading the
// rows by position a band at a time gives the same verdict and stream.
inline std::string checkBitmapParser(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> bytes(data.begin(), data.end());
  BitmapImage image;
  const BitmapVerdict verdict = image.parseBitmap(bytes);
  SpanPositionedSource file(data);
  BitmapRows rows(file);
  if (rows.inspect() != verdict || rows.image().storeReason() != image.storeReason()) {
    return "the rows read by position decide differently";
  }
  if (verdict == BitmapVerdict::StoreUnchanged) {
    if (image.isLoaded()) return "stored file still shows a picture";
    return image.storeReason() == StoreReason::None ? "stored without a reason" : std::string();
  }
  const SpbSource view = image.picture();
  if (view.width < 1 || view.width > 65535 || view.height < 1 || view.height > 65535) {
    return "picture dimensions outside the SPB header";
  }
  if (std::uint64_t{view.width} * view.height * 3 > 4 << 20) return {};  // only costs time
  const std::uint8_t* first = view.topRow;
  const std::uint8_t* last =
      view.topRow + static_cast<std::ptrdiff_t>(view.height - 1) * view.stride;
  const std::uint8_t* low = std::min(first, last);
  const std::uint8_t* high = std::max(first, last) + std::size_t{view.width} * 3;
  if (low < bytes.data() || high > bytes.data() + bytes.size()) return "picture outside the file";
  SpbPicture picture{view.width, view.height, {}};
  for (std::uint32_t y = 0; y < view.height; ++y) {
    const std::uint8_t* row = view.topRow + static_cast<std::ptrdiff_t>(y) * view.stride;
    picture.pixels.insert(picture.pixels.end(), row, row + std::size_t{view.width} * 3);
  }
  const std::vector<std::uint8_t> stream = encodeSpbToMemory(view);
  std::vector<std::uint8_t> fromRows;
  VectorSink sink(fromRows);
  if (encodeSpb(rows, sink) != CodingResult::Done || fromRows != stream) {
    return "the rows read a band at a time code differently";
  }
  SpbPicture decoded;
  if (Status status = decodeSpb(stream, decoded); !status) {
    return "coded picture does not decode: reason " +
           std::to_string(static_cast<int>(status.reason()));
  }
  if (decoded.pixels != picture.pixels) return "coded picture decodes differently";
  return {};
}

}  // namespace kupack::fuzz
