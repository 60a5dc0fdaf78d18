#include "archive/walk_order.h"

#include <array>
#include <cstdint>
#include <memory>

#include "archive/entry_path.h"
#include "platform/platform.h"
#include "platform/upcase_table.h"

namespace kupack {
namespace {

const std::array<char16_t, 0x10000>& upcaseTable() {
  static const auto table = [] {
    auto units = std::make_unique<std::array<char16_t, 0x10000>>();
    for (std::size_t unit = 0; unit < units->size(); ++unit)
      (*units)[unit] = static_cast<char16_t>(unit);
    for (const platform::upcase::Run& run : platform::upcase::kRuns) {
      for (std::uint32_t unit = run.first; unit <= run.last; unit += run.stride)
        (*units)[unit] = static_cast<char16_t>(static_cast<std::int32_t>(unit) + run.delta);
    }
    return units;
  }();
  return *table;
}

// Well-formed UTF-8 as UTF-16 code units (anything else stops the conversion: the caller
// gives only converter output).
std::u16string utf16Of(std::string_view utf8) {
  std::u16string units;
  for (std::size_t pos = 0; pos < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[pos]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (pos + length > utf8.size()) break;
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1Fu
                    : length == 3 ? lead & 0x0Fu
                                  : lead & 0x07u;
    for (std::size_t i = 1; i < length; ++i)
      code = (code << 6) | (static_cast<unsigned char>(utf8[pos + i]) & 0x3Fu);
    if (code >= 0x10000) {
      code -= 0x10000;
      units += static_cast<char16_t>(0xD800 + (code >> 10));
      units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      units += static_cast<char16_t>(code);
    }
    pos += length;
  }
  return units;
}

}  // namespace

WalkKey::WalkKey(std::string_view name) {
  for (std::string& bytes : splitEntryName(name)) {
    Level level;
    // A name the walk found on disk has a Unicode form; one from another tool may not.
    if (platform::cp932ToNativeName(bytes)) {
      level.hasUnicode = true;
      level.units = utf16Of(platform::cp932ToUtf8Text(bytes));
      level.folded = level.units;
      const auto& upcase = upcaseTable();
      for (char16_t& unit : level.folded) unit = upcase[unit];
    }
    level.bytes = std::move(bytes);
    levels_.push_back(std::move(level));
  }
}

bool WalkKey::levelBefore(const Level& a, const Level& b) {
  if (a.hasUnicode != b.hasUnicode) return a.hasUnicode;
  if (const int c = a.folded.compare(b.folded); c != 0) return c < 0;
  if (const int c = a.units.compare(b.units); c != 0) return c < 0;
  return a.bytes < b.bytes;
}

bool WalkKey::operator<(const WalkKey& other) const {
  const std::size_t common = std::min(levels_.size(), other.levels_.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (levelBefore(levels_[i], other.levels_[i])) return true;
    if (levelBefore(other.levels_[i], levels_[i])) return false;
  }
  return levels_.size() < other.levels_.size();
}

}  // namespace kupack
