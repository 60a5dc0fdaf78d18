// Whether two archive entries hold the same file: the bytes -x would write for each, compared
// with bounded memory whatever the entries' sizes. Entries of the same coding and the same
// stored bytes are the same without decoding.
#pragma once

#include <cstddef>

#include "archive/archive_reader.h"
#include "common/status.h"

namespace kupack {

// The most decoded bytes of one entry held at once while comparing.
inline constexpr std::size_t COMPARISON_WINDOW = std::size_t{32} << 20;

// Where entries larger than the window go: `a` decoded into a temporary file without a name
// (when one can be made), or never to disk (each entry decoded once per window instead).
enum class SpillToDisk { WhenLarger, Never };

// Sets `same` to whether `a` (of `readerA`) and `b` (of `readerB`) decode to the same bytes.
// A failure (a broken entry, a failed read, too little memory) names the entry. Entries of at
// most `window` bytes are compared in memory; larger ones through a temporary file, or, when
// none can be written, a window at a time (each entry decoded again for each window).
Status compareEntryContents(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
                            const ArchiveEntry& b, bool& same,
                            std::size_t window = COMPARISON_WINDOW,
                            SpillToDisk spill = SpillToDisk::WhenLarger);

}  // namespace kupack
