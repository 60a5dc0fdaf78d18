// Console text as a console can show it, the same on every system.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/console.h"

namespace kupack::platform {
namespace {

// The length of the UTF-8 character at the start of `text` (its code point in `code`), or 0
// when the bytes there are no well-formed one (overlong forms and surrogates included).
std::size_t utf8CharAt(std::string_view text, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    code = code << 6 | (byte(i) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string hexEscape(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string unicodeEscape(char32_t code) {
  return hexEscape("\\u{%04X}", static_cast<unsigned>(code));
}

std::string escapedConsoleText(std::string_view text, bool asciiOnly) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t code = 0;
    const std::size_t length = utf8CharAt(text.substr(pos), code);
    if (length == 0) {
      shown += hexEscape("\\x%02X", static_cast<unsigned char>(text[pos]));
      ++pos;
      continue;
    }
    if (asciiOnly && code >= 0x80) {
      shown += unicodeEscape(code);
    } else {
      shown.append(text.substr(pos, length));
    }
    pos += length;
  }
  return shown;
}

}  // namespace kupack::platform
