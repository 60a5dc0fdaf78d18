#include "app/mount_command.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>

#include "archive/mounted_archive.h"
#include "platform/platform.h"
#include "platform/read_only_mount.h"

namespace kupack {
namespace {

struct MountArguments {
  std::string archive;
  std::string mountPoint;
  bool foreground = false;
  std::uint64_t cacheBytes = DEFAULT_MOUNT_CACHE_BYTES;
};

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

// Parses the arguments after --mount; a problem (plain text) on a mistake.
std::optional<MountArguments> parseArguments(const std::vector<std::string>& args,
                                             std::string& problem) {
  MountArguments parsed;
  std::vector<std::string> operands;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-f" || args[i] == "--foreground") {
      parsed.foreground = true;
    } else if (args[i] == "-o") {
      if (i + 1 == args.size()) {
        problem = "-o needs cache=SIZE";
        return std::nullopt;
      }
      const std::string& option = args[++i];
      const std::string prefix = "cache=";
      const auto size = option.compare(0, prefix.size(), prefix) == 0
                            ? parseSize(option.substr(prefix.size()))
                            : std::nullopt;
      if (!size) {
        problem = "unknown mount option " + option + " (cache=SIZE, SIZE like 64M)";
        return std::nullopt;
      }
      parsed.cacheBytes = *size;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      problem = "unexpected option " + args[i];
      return std::nullopt;
    } else {
      operands.push_back(args[i]);
    }
  }
  if (operands.size() != 2) {
    problem = "--mount takes an archive and a folder";
    return std::nullopt;
  }
  parsed.archive = operands[0];
  parsed.mountPoint = operands[1];
  return parsed;
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

}  // namespace

int mountCommand(const std::vector<std::string>& args,
                 int (*usageError)(const std::string& problem)) {
  std::string problem;
  const auto parsed = parseArguments(args, problem);
  if (!parsed) return usageError(problem);

  std::string why;
  if (!platform::readOnlyMountAvailable(why)) {
    std::fprintf(stderr, "kupack: cannot mount: %s\n", why.c_str());
    return 1;
  }
  if (!platform::isFolder(parsed->mountPoint)) {
    std::fprintf(stderr, "kupack: %s: no such folder to mount on\n", parsed->mountPoint.c_str());
    return 1;
  }
  MountedArchive tree(parsed->cacheBytes, reportOnStandardError);
  if (Status status = tree.open(parsed->archive); !status) {
    reportOnStandardError(status.message());
    return 1;
  }
  platform::MountRequest request;
  request.mountPoint = parsed->mountPoint;
  request.sourceName = parsed->archive;
  request.foreground = parsed->foreground;
  if (platform::serveReadOnlyMount(tree, request, why) != 0) {
    std::fprintf(stderr, "kupack: %s: cannot mount %s: %s\n", parsed->mountPoint.c_str(),
                 parsed->archive.c_str(), why.c_str());
    return 1;
  }
  return 0;
}

}  // namespace kupack
