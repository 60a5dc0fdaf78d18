// `kupack --mount ARCHIVE DIR [-f] [-o cache=SIZE]`: shows an archive read-only as a folder
// for as long as it stays mounted. Prints its failures on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "archive/mounted_archive.h"

namespace kupack {

struct MountArguments {
  std::string archive;
  std::string mountPoint;
  bool foreground = false;
  std::uint64_t cacheBytes = DEFAULT_MOUNT_CACHE_BYTES;
  // Where the archive and scratch files are opened (the system's files for nullptr).
  platform::FileSystem* files = nullptr;
};

// The value of -o: "cache=SIZE", SIZE digits with an optional K, M or G (binary
// multiples), as bytes; nullopt for anything else.
std::optional<std::uint64_t> parseMountOption(const std::string& option);

// 0 once the archive has been mounted and later unmounted (or, without `foreground`, once
// it is mounted and the serving process runs in the background); 1 when it cannot be mounted.
int mountCommand(const MountArguments& arguments);

}  // namespace kupack
