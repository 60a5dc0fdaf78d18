#include "archive/entry_selection.h"

#include <optional>
#include <set>

#include "archive/archive_format.h"
#include "archive/entry_path.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// Whether a level holds a pattern character of its own (not the second byte of a
// two-byte character).
bool holdsPatternCharacter(std::string_view level) {
  for (std::size_t i = 0; i < level.size(); ++i) {
    if (isCp932LeadByte(static_cast<unsigned char>(level[i]))) {
      ++i;
    } else if (level[i] == '*' || level[i] == '?' || level[i] == '[') {
      return true;
    }
  }
  return false;
}

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A level as UTF-8 text in which each code page 932 character is one character of its own:
// ASCII as itself, other single bytes as U+0080..U+00FF, a two-byte character as
// U+10000 + its two bytes. The matcher then never splits a character or takes a second
// byte for '[' or ']', whatever the system's table of code page 932 says.
std::string asMatchText(std::string_view level) {
  std::string out;
  for (std::size_t i = 0; i < level.size(); ++i) {
    const auto byte = static_cast<unsigned char>(level[i]);
    if (isCp932LeadByte(byte) && i + 1 < level.size()) {
      const auto trail = static_cast<unsigned char>(level[++i]);
      appendUtf8(out, 0x10000 + (char32_t{byte} << 8 | trail));
    } else {
      appendUtf8(out, byte);
    }
  }
  return out;
}

bool levelMatches(const std::string& pattern, const std::string& level) {
  if (!holdsPatternCharacter(pattern)) return pattern == level;
  return platform::wildcardMatches(asMatchText(pattern), asMatchText(level));
}

// reached[j]: the pattern's levels so far match the name's first j levels. Worked out level
// by level of the pattern, so that any number of '**' costs no more than levels times levels.
std::vector<bool> matchedPrefixes(const std::vector<std::string>& pattern,
                                  const std::vector<std::string>& name) {
  std::vector<bool> reached(name.size() + 1, false);
  reached[0] = true;
  for (const auto& level : pattern) {
    std::vector<bool> next(name.size() + 1, false);
    if (level == "**") {
      bool any = false;
      for (std::size_t j = 0; j <= name.size(); ++j) {
        any = any || reached[j];
        next[j] = any;
      }
    } else {
      for (std::size_t j = 0; j < name.size(); ++j) {
        if (reached[j] && levelMatches(level, name[j])) next[j + 1] = true;
      }
    }
    reached.swap(next);
  }
  return reached;
}

// A native argument as code page 932 bytes. The system's name conversion refuses '?' (no
// file name holds one), which patterns use; it is the same byte in every code page and never
// the second byte of a character, so the pieces around it are converted alone.
std::optional<std::string> argumentAsCp932(std::string_view native) {
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t mark = native.find('?', start);
    const std::string_view piece =
        native.substr(start, mark == std::string_view::npos ? mark : mark - start);
    if (!piece.empty()) {
      const auto converted = platform::nativeNameToCp932(piece);
      if (!converted) return std::nullopt;
      out += *converted;
    }
    if (mark == std::string_view::npos) return out;
    out += '?';
    start = mark + 1;
  }
}

// The levels of a native argument, normalized; nullopt when it has no code page 932 form.
// Empty levels ("a//b", a trailing '/') and "." levels are dropped.
std::optional<std::vector<std::string>> argumentLevels(std::string_view native) {
  auto cp932 = argumentAsCp932(native);
  // Bytes that are no text in either form can only mean an entry recorded with those very
  // bytes.
  if (!cp932 && !platform::cp932ToNativeName(native)) cp932 = std::string(native);
  if (!cp932) return std::nullopt;
  std::vector<std::string> levels;
  for (auto& level : splitEntryName(normalizeName(*cp932))) {
    if (!level.empty() && level != ".") levels.push_back(std::move(level));
  }
  return levels;
}

}  // namespace

std::vector<std::string> nameLevels(std::string_view name) {
  return splitEntryName(normalizeName(std::string(name)));
}

NameSelector::NameSelector(std::string_view nativeArgument) {
  auto levels = argumentLevels(nativeArgument);
  if (!levels || levels->empty()) return;
  valid_ = true;
  levels_ = std::move(*levels);
  for (const auto& level : levels_) pattern_ = pattern_ || holdsPatternCharacter(level);
}

bool NameSelector::namesLiterally(const std::vector<std::string>& levels) const {
  if (!valid_ || levels_.size() > levels.size()) return false;
  for (std::size_t i = 0; i < levels_.size(); ++i) {
    if (levels_[i] != levels[i]) return false;
  }
  return true;
}

bool NameSelector::selects(const std::vector<std::string>& levels) const {
  if (!valid_) return false;
  if (!pattern_) return namesLiterally(levels);
  const auto reached = matchedPrefixes(levels_, levels);
  for (std::size_t j = 1; j < reached.size(); ++j) {
    if (reached[j]) return true;
  }
  return false;
}

bool NameSelector::matchesWhole(const std::vector<std::string>& levels) const {
  if (!valid_) return false;
  if (!pattern_) return levels_ == levels;
  return matchedPrefixes(levels_, levels).back();
}

std::vector<const ArchiveEntry*> selectEntries(const ArchiveReader& reader,
                                               const std::vector<std::string>& names,
                                               std::vector<std::string>& unknownNames) {
  std::vector<std::vector<std::string>> entryLevels;
  entryLevels.reserve(reader.entries().size());
  for (const auto& entry : reader.entries()) entryLevels.push_back(nameLevels(entry.name));

  std::vector<const ArchiveEntry*> chosen;
  std::set<const ArchiveEntry*> taken;
  for (const auto& name : names) {
    const NameSelector selector(name);
    // A name that exists as it is written wins over reading it as a pattern, so that an
    // entry named "a[1].bmp" can always be chosen.
    bool literal = false;
    for (const auto& levels : entryLevels) literal = literal || selector.namesLiterally(levels);
    bool found = false;
    for (std::size_t i = 0; i < entryLevels.size(); ++i) {
      const bool hit =
          literal ? selector.namesLiterally(entryLevels[i]) : selector.selects(entryLevels[i]);
      if (!hit) continue;
      found = true;
      const ArchiveEntry& entry = reader.entries()[i];
      if (taken.insert(&entry).second) chosen.push_back(&entry);
    }
    if (!found) unknownNames.push_back(name);
  }
  return chosen;
}

bool ExcludeRules::add(std::string_view nativePattern) {
  NameSelector rule(nativePattern);
  if (!rule.valid()) return false;
  rules_.push_back(std::move(rule));
  return true;
}

bool ExcludeRules::excludes(std::string_view name) const {
  const auto levels = nameLevels(name);
  for (const auto& rule : rules_) {
    if (rule.levelCount() == 1 ? rule.matchesWhole({levels.back()}) : rule.matchesWhole(levels))
      return true;
  }
  return false;
}

}  // namespace kupack
