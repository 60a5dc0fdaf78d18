// The file layer's look-ups by name on POSIX.
#include <sys/stat.h>

#include "platform/file.h"

namespace kupack::platform {

std::optional<std::uint64_t> regularFileLength(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace kupack::platform
