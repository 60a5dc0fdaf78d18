// The modified LZSS coder of palette bitmaps: a 256-byte ring whose first 239 slots start
// as spaces, a 239-byte reach, matches of 2 to 17 bytes named by ring slot. The whole
// source file is coded as plain bytes; the stream has no header and no end marker.
#pragma once

#include <string>

#include "common/status.h"

namespace kupack {

// Codes the file at `sourcePath` into a new file at `destinationPath` (both native paths),
// printing the type line and the progress lines. A source or destination that cannot be
// opened is a failure naming the file; a failed write is Status::outputError().
Status encodeLzss(const std::string& sourcePath, const std::string& destinationPath);

}  // namespace kupack
