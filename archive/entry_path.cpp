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

// The first character of the name that Windows allows in no file name, as a readable
// text ("'|'", "a control character"), or empty when there is none. Second bytes of
// two-byte characters are no characters of their own.
std::string forbiddenWindowsCharacter(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (isCp932LeadByte(byte)) {
      ++i;
    } else if (byte < 0x20) {
      return "a control character";
    } else if (std::string_view("<>\"|?*").find(name[i]) != std::string_view::npos) {
      return std::string("'") + name[i] + "'";
    }
  }
  return {};
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

std::string loweredNamesNote(std::string_view firstName, std::size_t count) {
  std::string note = "note: " + entryNameForConsole(std::string(firstName));
  if (count > 1)
    note += " and " + std::to_string(count - 1) + (count == 2 ? " other name" : " other names");
  return note +
         ": the archive records names lower-cased byte by byte, which changes some two-byte "
         "characters (\x83\x41 to \x83\x61); they are given back as recorded\n";
}

bool isWindowsReservedName(std::string_view level) {
  if (level.empty()) return false;
  return isDeviceName(level) || level.back() == '.' || level.back() == ' ' ||
         holdsCharacter(level, ':') || !forbiddenWindowsCharacter(level).empty();
}

namespace {

// Why Windows would not make a file of the (non-empty) level, or empty when it would.
std::string windowsRefusal(const std::string& level) {
  const std::string shown = "\"" + entryNameForConsole(level) + "\"";
  if (isDeviceName(level)) return shown + " is a name reserved by Windows (a device)";
  if (holdsCharacter(level, ':')) {
    return shown + " is reserved by Windows: ':' starts the name of a file's stream";
  }
  if (const std::string character = forbiddenWindowsCharacter(level); !character.empty()) {
    return shown + " holds " + character + ", which Windows allows in no name";
  }
  if (level.back() == '.' || level.back() == ' ') {
    return shown + " is reserved by Windows: it ends in a dot or a space, which Windows drops";
  }
  return {};
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

std::optional<std::vector<std::string>> entryPathLevels(std::string_view name,
                                                        std::string& refusal) {
  if (name.empty()) {
    refusal = "the name is empty";
    return std::nullopt;
  }
  if (name[0] == '\\' || name[0] == '/') {
    refusal = "the name is absolute";
    return std::nullopt;
  }
  if (holdsCharacter(name, ':')) {
    refusal = "the name holds a drive letter or ':'";
    return std::nullopt;
  }
  std::vector<std::string> levels;
  for (const std::string& level : splitEntryName(name)) {
    if (level == "..") {
      refusal = "the name holds a \"..\" level";
      return std::nullopt;
    }
    if (level.empty() || onlyDotsAndSpaces(level)) {
      refusal = "the name holds an empty level or one of dots and spaces only";
      return std::nullopt;
    }
    if (platform::reservesDeviceNames()) {
      if (std::string why = windowsRefusal(level); !why.empty()) {
        refusal = why;
        return std::nullopt;
      }
    }
    const auto native = platform::cp932ToNativeName(level);
    if (!native) {
      refusal = "the name is not valid Shift-JIS";
      return std::nullopt;
    }
    // '/' is no second byte of a two-byte character, in code page 932 or UTF-8.
    if (native->empty() || native->find('\0') != std::string::npos ||
        native->find('/') != std::string::npos) {
      refusal = "the name has a level that is no native file name";
      return std::nullopt;
    }
    levels.push_back(*native);
  }
  return levels;
}

}  // namespace kupack
