// Names and text on Windows: native (UTF-8) names and paths handled code page aware, and
// converted to and from code page 932 through the system's UTF-16 conversions.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/internal_win32.h"
#include "platform/text.h"
#include "platform/win32_text.h"

namespace kupack::platform {

namespace win32 {
namespace {

bool isSeparatorByte(char c) { return c == '\\' || c == '/'; }

bool isLeadByte(unsigned codePage, char c) {
  // UTF-8 has no byte of an ASCII character inside another character.
  if (codePage == CP_UTF8) return false;
  return IsDBCSLeadByteEx(codePage, static_cast<BYTE>(c)) != FALSE;
}

// Visits the characters of `text`: `visit(offset, length)` with length 1 or 2.
template <typename Visit>
void forEachCharacter(std::string_view text, unsigned codePage, Visit visit) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = isLeadByte(codePage, text[i]) && i + 1 < text.size() ? 2 : 1;
    visit(i, length);
    i += length;
  }
}

// The pieces of `text` between separators (empty pieces included).
std::vector<std::string_view> splitAtSeparators(std::string_view text, unsigned codePage) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  forEachCharacter(text, codePage, [&](std::size_t at, std::size_t length) {
    if (length == 1 && isSeparatorByte(text[at])) {
      pieces.push_back(text.substr(start, at - start));
      start = at + 1;
    }
  });
  pieces.push_back(text.substr(start));
  return pieces;
}

enum class RootKind { Relative, RootRelative, DriveRelative, DriveAbsolute, Unc };

struct RootedPath {
  RootKind kind = RootKind::Relative;
  std::string root;       // as written back: "", "\", "C:", "C:\", "\\server\share\"
  std::string_view rest;  // everything after the root
};

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

RootedPath splitRoot(std::string_view path, unsigned codePage) {
  RootedPath rooted;
  if (path.size() >= 2 && isSeparatorByte(path[0]) && isSeparatorByte(path[1])) {
    // \\server\share: the server and share names belong to the root.
    const std::vector<std::string_view> pieces = splitAtSeparators(path.substr(2), codePage);
    rooted.kind = RootKind::Unc;
    rooted.root = "\\\\" + std::string(pieces[0]) + "\\";
    std::size_t used = 2 + pieces[0].size();
    if (pieces.size() > 1) {
      rooted.root += std::string(pieces[1]) + "\\";
      used += 1 + pieces[1].size();
    }
    rooted.rest = path.substr(std::min(used + 1, path.size()));
  } else if (path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == ':') {
    const bool absolute = path.size() >= 3 && isSeparatorByte(path[2]);
    rooted.kind = absolute ? RootKind::DriveAbsolute : RootKind::DriveRelative;
    rooted.root = std::string(path.substr(0, 2)) + (absolute ? "\\" : "");
    rooted.rest = path.substr(absolute ? 3 : 2);
  } else if (!path.empty() && isSeparatorByte(path[0])) {
    rooted.kind = RootKind::RootRelative;
    rooted.root = "\\";
    rooted.rest = path.substr(1);
  } else {
    rooted.rest = path;
  }
  return rooted;
}

// Applies the components of `rest` to `components`: "." and empty pieces vanish, ".." takes
// one back (never above the root).
void applyComponents(std::string_view rest, unsigned codePage,
                     std::vector<std::string>& components) {
  for (std::string_view piece : splitAtSeparators(rest, codePage)) {
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.emplace_back(piece);
  }
}

}  // namespace

std::optional<std::wstring> toWide(std::string_view text, unsigned codePage, bool strict) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(codePage, flags, text.data(), length, wide.data(), needed) != needed) {
    return std::nullopt;
  }
  return wide;
}

// `wide` in `codePage`, never with a look-alike for a character that has no form there:
// with `strict` such a character makes it nullopt, otherwise it becomes '?'.
std::optional<std::string> fromWide(std::wstring_view wide, unsigned codePage, bool strict) {
  if (wide.empty()) return std::string();
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  // The UTF code pages take neither the best-fit flag nor a default character.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  // A lone surrogate has no UTF-8 form: strictly, that fails the whole conversion.
  const DWORD flags = utf ? (strict && codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0)
                          : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf ? nullptr : "?";
  BOOL usedFallback = FALSE;
  BOOL* usedFallbackOut = utf ? nullptr : &usedFallback;
  const int length = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, fallback,
                                         usedFallbackOut);
  if (needed <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(needed), '\0');
  usedFallback = FALSE;
  if (WideCharToMultiByte(codePage, flags, wide.data(), length, text.data(), needed, fallback,
                          usedFallbackOut) != needed) {
    return std::nullopt;
  }
  if (strict && usedFallback) return std::nullopt;
  return text;
}

namespace {

bool isWellFormed(std::string_view text, unsigned codePage) {
  return toWide(text, codePage, true).has_value();
}

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// New folders take paths of up to MAX_PATH - 12 characters without the prefix.
constexpr std::size_t UNPREFIXED_PATH_LIMIT = MAX_PATH - 12;

}  // namespace

unsigned ansiCodePage() { return GetACP(); }

std::optional<std::wstring> systemPath(std::string_view native,
                                       std::wstring (*fullPath)(const std::wstring&)) {
  std::optional<std::wstring> wide = toWide(native, CP_UTF8, true);
  if (!wide || wide->size() < UNPREFIXED_PATH_LIMIT) return wide;
  if (startsWith(*wide, L"\\\\?\\") || startsWith(*wide, L"\\\\.\\")) return wide;
  const std::wstring full = fullPath(*wide);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return wide;  // no form the prefix takes: the system decides
}

std::optional<std::string> nativeFromSystem(std::wstring_view wide) {
  return fromWide(wide, CP_UTF8, true);
}

std::wstring cp932ToWide(std::string_view cp932) {
  return toWide(cp932, CODE_PAGE_932, false).value_or(std::wstring());
}

bool consoleClosesWithProcess(std::uint32_t processCount, bool inputIsConsole) {
  return processCount == 1 && inputIsConsole;
}

bool endsWithSeparator(std::string_view path, unsigned codePage) {
  bool last = false;
  forEachCharacter(path, codePage, [&](std::size_t at, std::size_t length) {
    last = length == 1 && isSeparatorByte(path[at]);
  });
  return last;
}

std::string withoutTrailingSeparators(std::string_view path, unsigned codePage) {
  const std::size_t rootLength = path.size() - splitRoot(path, codePage).rest.size();
  std::string trimmed(path);
  while (trimmed.size() > rootLength && endsWithSeparator(trimmed, codePage)) trimmed.pop_back();
  return trimmed;
}

std::string absolutePathIn(std::string_view path, std::string_view base, unsigned codePage) {
  const RootedPath given = splitRoot(path, codePage);
  const RootedPath from = splitRoot(base, codePage);
  std::string root;
  std::vector<std::string> components;
  switch (given.kind) {
    case RootKind::Unc:
    case RootKind::DriveAbsolute:
      root = given.root;
      break;
    case RootKind::DriveRelative:
      // Relative to the base when it lies on that drive; else to the drive's root.
      if (from.kind == RootKind::DriveAbsolute && upperAscii(from.root[0]) == upperAscii(path[0])) {
        root = from.root;
        applyComponents(from.rest, codePage, components);
      } else {
        root = given.root + "\\";
      }
      break;
    case RootKind::RootRelative:
      root = from.kind == RootKind::DriveRelative ? from.root + "\\" : from.root;
      if (root.empty()) root = "\\";
      break;
    case RootKind::Relative:
      root = from.root;
      applyComponents(from.rest, codePage, components);
      break;
  }
  applyComponents(given.rest, codePage, components);
  std::string result = root;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += '\\';
    result += components[i];
  }
  return result;
}

bool isLiteralFileName(std::string_view name, unsigned codePage) {
  if (name.empty() || name == "." || name == "..") return false;
  bool literal = true;
  char last = '\0';
  forEachCharacter(name, codePage, [&](std::size_t at, std::size_t length) {
    last = length == 1 ? name[at] : 'x';
    if (length == 2) return;
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte < 0x20 || std::string_view("<>:\"/\\|?*").find(name[at]) != std::string_view::npos) {
      literal = false;
    }
  });
  if (!literal || last == '.' || last == ' ') return false;
  // The device names count whatever follows the first dot, and with trailing spaces.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = upperAscii(c);
  static constexpr std::string_view DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : DEVICES) {
    if (base == device) return false;
  }
  const bool numbered =
      base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0);
  return !(numbered && base[3] >= '0' && base[3] <= '9');
}

std::string parentFolder(std::string_view path, unsigned codePage) {
  const RootedPath rooted = splitRoot(path, codePage);
  const std::size_t rootLength = path.size() - rooted.rest.size();
  std::size_t lastSeparator = std::string_view::npos;
  forEachCharacter(rooted.rest, codePage, [&](std::size_t at, std::size_t length) {
    if (length == 1 && isSeparatorByte(rooted.rest[at])) lastSeparator = at;
  });
  if (lastSeparator == std::string_view::npos) return std::string(path.substr(0, rootLength));
  return std::string(path.substr(0, rootLength + lastSeparator));
}

std::optional<std::string> nameToCp932(std::string_view native, unsigned codePage) {
  if (native.find('?') != std::string_view::npos) return std::nullopt;
  if (native.find('\0') != std::string_view::npos) return std::nullopt;
  if (codePage == CODE_PAGE_932) {
    if (!isWellFormed(native, CODE_PAGE_932)) return std::nullopt;
    return std::string(native);
  }
  // Another code page (UTF-8, the native one): the name is converted, and refused when code
  // page 932 cannot express it.
  const std::optional<std::wstring> wide = toWide(native, codePage, true);
  if (!wide) return std::nullopt;
  return fromWide(*wide, CODE_PAGE_932, true);
}

std::optional<std::string> cp932ToName(std::string_view cp932, unsigned codePage) {
  if (cp932.find('\0') != std::string_view::npos) return std::nullopt;
  const std::optional<std::wstring> wide = toWide(cp932, CODE_PAGE_932, true);
  if (!wide) return std::nullopt;
  if (codePage == CODE_PAGE_932) return std::string(cp932);
  return fromWide(*wide, codePage, true);
}

std::string convertForDisplay(std::string_view text, unsigned from, unsigned to) {
  if (from == to) return std::string(text);
  const std::optional<std::wstring> wide = toWide(text, from, false);
  if (!wide) return std::string(text.size(), '?');
  return fromWide(*wide, to, false).value_or(std::string(text.size(), '?'));
}

}  // namespace win32

std::optional<std::string> nativeNameToCp932(std::string_view native) {
  return win32::nameToCp932(native, NATIVE_CODE_PAGE);
}

std::optional<std::string> cp932ToNativeName(std::string_view cp932) {
  return win32::cp932ToName(cp932, NATIVE_CODE_PAGE);
}

std::string nativeToConsoleText(std::string_view native) { return std::string(native); }

std::string cp932ToUtf8Text(std::string_view cp932) {
  const std::optional<std::wstring> wide = win32::toWide(cp932, win32::CODE_PAGE_932, false);
  if (!wide) return std::string(cp932.size(), '?');
  return win32::fromWide(*wide, CP_UTF8, false).value_or(std::string(cp932.size(), '?'));
}

bool reservesDeviceNames() { return true; }

}  // namespace kupack::platform
