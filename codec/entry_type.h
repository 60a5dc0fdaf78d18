// The one-byte coding of an archive entry, as stored in the directory.
#pragma once

#include <cstdint>

namespace kupack {

enum EntryType : std::uint8_t {
  ENTRY_STORED = 0,  // the file's bytes unchanged
  ENTRY_SPB = 1,     // an SPB image stream of a true-colour bitmap
  ENTRY_LZSS = 2,    // a modified LZSS stream of a palette bitmap file
};

}  // namespace kupack
