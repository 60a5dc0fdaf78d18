#include "app/mount_command.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>

#include "app/catalogue.h"
#include "app/status_text.h"
#include "archive/mounted_archive.h"
#include "common/console.h"
#include "common/stop_request.h"
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

// Console text on standard error. The mount's threads report at once, one line at a time.
void reportOnStandardError(const std::string& text) {
  static std::mutex reporting;
  const std::lock_guard lock(reporting);
  consoleError(text);
}

// False, having said why, when nothing should be mounted on `folder`.
bool mountPointUsable(const std::string& folder) {
  const std::string shown = platform::nativeToConsoleText(folder);
  const char* name = shown.c_str();
  switch (platform::mountPointState(folder)) {
    case platform::MountPointState::Usable:
      return true;
    case platform::MountPointState::Missing:
      consoleErrorPrint(tr("kupack: %s: no such folder to mount on\n"), name);
      return false;
    case platform::MountPointState::DeadMount:
      consoleErrorPrint(tr("kupack: %s: a mount whose server has ended is still there (Transport "
                           "endpoint is not connected); clear it with: fusermount3 -u %s\n"),
                        name, name);
      return false;
    case platform::MountPointState::AlreadyMounted:
      consoleErrorPrint(tr("kupack: %s: already a mount point; unmount it first (fusermount3 -u "
                           "%s) or mount on an empty folder\n"),
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
    consoleErrorPrint(tr("kupack: cannot mount: %s\n"), statusCause(available).c_str());
    return 1;
  }
  if (!mountPointUsable(arguments.mountPoint)) return 1;
  MountedArchive tree(arguments.cacheBytes,
                      [](const Status& report) { reportOnStandardError(statusText(report)); },
                      arguments.files);
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
  const Status served = platform::serveReadOnlyMount(tree, request);
  // The mount has ended: decodes still under way (their readers gone) stop, so that the
  // process does not wait for them.
  requestStop();
  if (!served) {
    consoleErrorPrint(tr("kupack: %s: cannot mount %s: %s\n"),
                      platform::nativeToConsoleText(arguments.mountPoint).c_str(),
                      platform::nativeToConsoleText(arguments.archive).c_str(),
                      statusCause(served).c_str());
    return 1;
  }
  return 0;
}

}  // namespace kupack
