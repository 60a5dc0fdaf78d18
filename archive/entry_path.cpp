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

bool isAsciiLetterCaseless(std::string_view text, std::string_view lowerCase) {
  if (text.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerCase[i]) return false;
  }
  return true;
}

bool isWindowsDeviceName(std::string_view base) {
  for (std::string_view device : {"con", "prn", "aux", "nul"}) {
    if (isAsciiLetterCaseless(base, device)) return true;
  }
  if (base.size() != 4 || base[3] < '1' || base[3] > '9') return false;
  return isAsciiLetterCaseless(base.substr(0, 3), "com") ||
         isAsciiLetterCaseless(base.substr(0, 3), "lpt");
}

bool holdsCharacterWindowsReserves(std::string_view level) {
  constexpr std::string_view reserved = "<>:\"/|?*";
  for (std::size_t i = 0; i < level.size(); ++i) {
    const auto byte = static_cast<unsigned char>(level[i]);
    if (isCp932LeadByte(byte)) {
      ++i;
    } else if (byte < 0x20 || reserved.find(level[i]) != std::string_view::npos) {
      return true;
    }
  }
  return false;
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
  if (holdsCharacterWindowsReserves(level)) return true;
  // The device name is what comes before the first dot, with trailing spaces ignored.
  std::string_view base = level.substr(0, level.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  return isWindowsDeviceName(base);
}

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
