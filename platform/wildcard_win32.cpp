// Shell patterns on Windows, which has no fnmatch(3) (and whose PathMatchSpecW knows no
// '[...]'): the same rules as FNM_NOESCAPE on POSIX, over Unicode characters.
#include <cstddef>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace kupack::platform {
namespace {

std::vector<char32_t> decodeUtf8(const std::string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    char32_t code = length == 1 ? byte : byte & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(code);
    i += length;
  }
  return out;
}

// Matches the set at pattern[at] ('[' there) against `c`: whether it matched, and the
// position after the set; nullopt when the set has no closing ']' ('[' is then itself).
std::optional<std::pair<bool, std::size_t>> matchSet(const std::vector<char32_t>& pattern,
                                                     std::size_t at, char32_t c) {
  std::size_t i = at + 1;
  const bool negated = i < pattern.size() && (pattern[i] == U'!' || pattern[i] == U'^');
  if (negated) ++i;
  bool matched = false;
  bool first = true;
  for (; i < pattern.size(); first = false) {
    if (pattern[i] == U']' && !first) return std::pair{matched != negated, i + 1};
    const char32_t low = pattern[i];
    if (i + 2 < pattern.size() && pattern[i + 1] == U'-' && pattern[i + 2] != U']') {
      matched = matched || (low <= c && c <= pattern[i + 2]);
      i += 3;
    } else {
      matched = matched || low == c;
      ++i;
    }
  }
  return std::nullopt;
}

// Iterative matching with one remembered '*' (the last one seen), which suffices because a
// later '*' can always take over what an earlier one would have matched.
bool matches(const std::vector<char32_t>& pattern, const std::vector<char32_t>& text) {
  std::size_t p = 0;
  std::size_t t = 0;
  std::optional<std::pair<std::size_t, std::size_t>> star;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == U'*') {
      star = std::pair{++p, t};
      continue;
    }
    if (p < pattern.size()) {
      if (pattern[p] == U'[') {
        if (const auto set = matchSet(pattern, p, text[t])) {
          if (set->first) {
            p = set->second;
            ++t;
            continue;
          }
        } else if (text[t] == U'[') {
          ++p;
          ++t;
          continue;
        }
      } else if (pattern[p] == U'?' || pattern[p] == text[t]) {
        ++p;
        ++t;
        continue;
      }
    }
    if (!star) return false;
    p = star->first;
    t = ++star->second;
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

}  // namespace

bool wildcardMatches(const std::string& pattern, const std::string& text) {
  return matches(decodeUtf8(pattern), decodeUtf8(text));
}

}  // namespace kupack::platform
