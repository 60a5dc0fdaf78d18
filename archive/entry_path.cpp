#include "archive/entry_path.h"

#include <algorithm>

#include "archive/archive_reader.h"
#include "platform/platform.h"

namespace kupack {
namespace {

bool onlyDotsAndSpaces(std::string_view level) {
  return std::all_of(level.begin(), level.end(), [](char c) { return c == '.' || c == ' '; });
}

// Whether a single-byte character of the name is `wanted` (second bytes of two-byte
// characters are skipped).
bool holdsCharacter(std::string_view name, char wanted) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (isCp932LeadByte(byte)) {
      ++i;
    } else if (name[i] == wanted) {
      return true;
    }
  }
  return false;
}

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool isDeviceName(std::string_view level) {
  // What comes before the first dot, without the spaces before it, names the device.
  std::string base(level.substr(0, level.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = upperAscii(c);
  static constexpr std::string_view DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : DEVICES) {
    if (base == device) return true;
  }
  const bool numbered = base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT"));
  return numbered && isAsciiDigit(base[3]);
}

// The first character of the name that Windows allows in no file name: 0 for a control
// character, else the character; nullopt when there is none. Second bytes of two-byte
// characters are no characters of their own.
std::optional<unsigned char> forbiddenWindowsCharacter(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (isCp932LeadByte(byte)) {
      ++i;
    } else if (byte < 0x20) {
      return 0;
    } else if (std::string_view("<>\"|?*").find(name[i]) != std::string_view::npos) {
      return byte;
    }
  }
  return std::nullopt;
}

}  // namespace

bool mayHaveLoweredSecondByte(std::string_view name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (!isCp932LeadByte(static_cast<unsigned char>(name[i]))) continue;
    ++i;
    if (name[i] >= 'a' && name[i] <= 'z') return true;
  }
  return false;
}

bool isWindowsReservedName(std::string_view level) {
  if (level.empty()) return false;
  return isDeviceName(level) || level.back() == '.' || level.back() == ' ' ||
         holdsCharacter(level, ':') || forbiddenWindowsCharacter(level).has_value();
}

namespace {

// Why Windows would not make a file of the (non-empty) level, or Ok when it would.
Status windowsRefusal(const std::string& level) {
  using Reason = Status::Reason;
  if (isDeviceName(level)) return Status::refused(Reason::NameWindowsDevice).withOtherPath(level);
  if (holdsCharacter(level, ':')) {
    return Status::refused(Reason::NameWindowsStream).withOtherPath(level);
  }
  if (const auto character = forbiddenWindowsCharacter(level)) {
    return Status::refused(Reason::NameWindowsCharacter, {*character}).withOtherPath(level);
  }
  if (level.back() == '.' || level.back() == ' ') {
    return Status::refused(Reason::NameWindowsDotOrSpace).withOtherPath(level);
  }
  return Status::ok();
}

}  // namespace

std::vector<std::string> splitEntryName(std::string_view name) {
  std::vector<std::string> levels(1);
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (isCp932LeadByte(byte)) {
      levels.back() += name[i];
      if (i + 1 < name.size()) levels.back() += name[++i];
    } else if (name[i] == '\\') {
      levels.emplace_back();
    } else {
      levels.back() += name[i];
    }
  }
  return levels;
}

std::optional<std::vector<std::string>> entryPathLevels(std::string_view name, Status& refusal) {
  using Reason = Status::Reason;
  refusal = Status::ok();
  if (name.empty()) {
    refusal = Status::refused(Reason::NameEmpty);
    return std::nullopt;
  }
  if (name[0] == '\\' || name[0] == '/') {
    refusal = Status::refused(Reason::NameAbsolute);
    return std::nullopt;
  }
  if (holdsCharacter(name, ':')) {
    refusal = Status::refused(Reason::NameHasDrive);
    return std::nullopt;
  }
  std::vector<std::string> levels;
  for (const std::string& level : splitEntryName(name)) {
    if (level == "..") {
      refusal = Status::refused(Reason::NameHasDotDot);
      return std::nullopt;
    }
    if (level.empty() || onlyDotsAndSpaces(level)) {
      refusal = Status::refused(Reason::NameHasEmptyLevel);
      return std::nullopt;
    }
    if (platform::reservesDeviceNames()) {
      if (Status why = windowsRefusal(level); !why) {
        refusal = std::move(why);
        return std::nullopt;
      }
    }
    const auto native = platform::cp932ToNativeName(level);
    if (!native) {
      refusal = Status::refused(Reason::NameNotShiftJis);
      return std::nullopt;
    }
    // '/' is no second byte of a two-byte character, in code page 932 or UTF-8.
    if (native->empty() || native->find('\0') != std::string::npos ||
        native->find('/') != std::string::npos) {
      refusal = Status::refused(Reason::NameNotNative);
      return std::nullopt;
    }
    levels.push_back(*native);
  }
  return levels;
}

}  // namespace kupack
