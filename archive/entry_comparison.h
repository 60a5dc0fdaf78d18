// Whether two archive entries hold the same file: the bytes -x would write for each, compared
// in a window of bounded size, so that memory stays small whatever the entries' sizes. Entries
// of the same coding and the same stored bytes are the same without decoding.
#pragma once

#include <cstddef>

#include "archive/archive_reader.h"
#include "common/status.h"

namespace kupack {

// The most decoded bytes of one entry held at once while comparing.
inline constexpr std::size_t COMPARISON_WINDOW = std::size_t{32} << 20;

// Sets `same` to whether `a` (of `readerA`) and `b` (of `readerB`) decode to the same bytes.
// A failure (a broken entry, a failed read, too little memory) names the entry. An entry
// longer than `window` bytes whose coding or stored bytes differ is decoded once per window.
Status compareEntryContents(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
                            const ArchiveEntry& b, bool& same,
                            std::size_t window = COMPARISON_WINDOW);

}  // namespace kupack
