// Paths on POSIX systems: '/' between levels, the current directory through the C library.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/internal_posix.h"
#include "platform/paths.h"

namespace kupack::platform {

char nativeSeparator() { return '/'; }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::optional<std::string> currentDirectory() {
  for (std::size_t capacity = 4096; capacity <= (std::size_t{1} << 20); capacity *= 2) {
    std::string buffer(capacity, '\0');
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

bool changeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string absolutePath(const std::string& path, const std::string& base) {
  const std::string joined = !path.empty() && path[0] == '/' ? path : base + "/" + path;
  const bool absolute = !joined.empty() && joined[0] == '/';
  std::vector<std::string_view> parts;
  const std::string_view whole(joined);
  for (std::size_t pos = 0; pos <= whole.size();) {
    std::size_t end = whole.find('/', pos);
    if (end == std::string_view::npos) end = whole.size();
    const std::string_view part = whole.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);  // a relative base keeps what it cannot climb
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const std::string_view part : parts) {
    if (absolute || !result.empty()) result += '/';
    result += part;
  }
  if (result.empty()) return absolute ? "/" : ".";
  return result;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace kupack::platform
