#include "app/mount_command.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>

#include "app/status_text.h"
#include "archive/mounted_archive.h"
#include "platform/platform.h"
#include "platform/read_only_mount.h"

namespace kupack {
namespace {

// "SIZE" as bytes: digits with an optional K, M or G (binary multiples).
std::optional<std::uint64_t> parseSize(const std::string& text) {
  std::uint64_t value = 0;
  std::size_t position = 0;
  for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
    const auto digit = static_cast<std::uint64_t>(text[position] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (position == 0) return std::nullopt;
  const std::string suffix = text.substr(position);
  unsigned shift = 0;
  if (suffix == "k" || suffix == "K") {
    shift = 10;
  } else if (suffix == "m" || suffix == "M") {
    shift = 20;
  } else if (suffix == "g" || suffix == "G") {
    shift = 30;
  } else if (!suffix.empty()) {
    return std::nullopt;
  }
  if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) return std::nullopt;
  return value << shift;
}

// Console text (code page 932) on standard error, in the terminal's characters. The
// mount's threads report at once; the converter is not theirs to share.
void reportOnStandardError(const std::string& cp932) {
  static std::mutex reporting;
  const std::lock_guard lock(reporting);
  const std::string text = platform::cp932ToNativeName(cp932).value_or(cp932);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

// False, having said why, when nothing should be mounted on `folder`.
bool mountPointUsable(const std::string& folder) {
  const char* name = folder.c_str();
  switch (platform::mountPointState(folder)) {
    case platform::MountPointState::Usable:
      return true;
    case platform::MountPointState::Missing:
      std::fprintf(stderr, "kupack: %s: no such folder to mount on\n", name);
      return false;
    case platform::MountPointState::DeadMount:
      std::fprintf(stderr,
                   "kupack: %s: a mount whose server has ended is still there (Transport "
                   "endpoint is not connected); clear it with: fusermount3 -u %s\n",
                   name, name);
      return false;
    case platform::MountPointState::AlreadyMounted:
      std::fprintf(stderr,
                   "kupack: %s: already a mount point; unmount it first (fusermount3 -u %s) "
                   "or mount on an empty folder\n",
                   name, name);
      return false;
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> parseMountOption(const std::string& option) {
  const std::string prefix = "cache=";
  if (option.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return parseSize(option.substr(prefix.size()));
}

int mountCommand(const MountArguments& arguments) {
  if (const Status available = platform::readOnlyMountAvailable(); !available) {
    std::fprintf(stderr, "kupack: cannot mount: %s\n", statusCause(available).c_str());
    return 1;
  }
  if (!mountPointUsable(arguments.mountPoint)) return 1;
  MountedArchive tree(arguments.cacheBytes,
                      [](const Status& report) { reportOnStandardError(statusText(report)); });
  if (Status status = tree.open(arguments.archive); !status) {
    reportOnStandardError(statusText(status));
    return 1;
  }
  // Mounted over its own folder, the archive's name leads into the mount.
  if (platform::mountWouldHide(arguments.mountPoint, arguments.archive)) {
    tree.watchOpenArchiveOnly();
  }
  platform::MountRequest request;
  request.mountPoint = arguments.mountPoint;
  request.sourceName = arguments.archive;
  request.foreground = arguments.foreground;
  if (const Status served = platform::serveReadOnlyMount(tree, request); !served) {
    std::fprintf(stderr, "kupack: %s: cannot mount %s: %s\n", arguments.mountPoint.c_str(),
                 arguments.archive.c_str(), statusCause(served).c_str());
    return 1;
  }
  return 0;
}

}  // namespace kupack
