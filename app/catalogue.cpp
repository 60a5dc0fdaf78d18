#include "app/catalogue.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "app/compiled_catalogues.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// One compiled catalogue read in place: the .mo layout of a magic number, a count and two
// tables of (length, offset) pairs, the originals sorted byte-wise, each translation at the
// index of its original.
class MessageTable {
 public:
  // nullopt when the bytes are not a well-formed catalogue (every offset and length is
  // checked once here, so lookups read only inside the bytes).
  static std::optional<MessageTable> read(const unsigned char* bytes, std::size_t size) {
    MessageTable table(bytes, size);
    if (size < 28) return std::nullopt;
    const std::uint32_t magic = table.word(0);
    if (magic == 0xde120495u) {
      table.swapped_ = true;
    } else if (magic != 0x950412deu) {
      return std::nullopt;
    }
    table.count_ = table.word(8);
    table.originals_ = table.word(12);
    table.translations_ = table.word(16);
    for (std::uint32_t i = 0; i < table.count_; ++i) {
      if (!table.stringAt(table.originals_, i) || !table.stringAt(table.translations_, i)) {
        return std::nullopt;
      }
    }
    return table;
  }

  // The translation of `original`, nullptr when there is none (or it is empty).
  const char* find(const char* original) const {
    std::uint32_t low = 0;
    std::uint32_t high = count_;
    while (low < high) {
      const std::uint32_t middle = low + (high - low) / 2;
      const int order = std::strcmp(original, *stringAt(originals_, middle));
      if (order == 0) {
        const char* translation = *stringAt(translations_, middle);
        return *translation != '\0' ? translation : nullptr;
      }
      if (order < 0) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    return nullptr;
  }

 private:
  MessageTable(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  std::uint32_t word(std::size_t offset) const {
    const unsigned char* p = bytes_ + offset;
    if (swapped_) {
      return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
             p[3];
    }
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
  }

  // The string of pair `index` of the table at `table`, when it lies inside the bytes and
  // ends in a NUL.
  std::optional<const char*> stringAt(std::uint32_t table, std::uint32_t index) const {
    const std::uint64_t pair = std::uint64_t{table} + std::uint64_t{index} * 8;
    if (pair + 8 > size_) return std::nullopt;
    const std::uint64_t length = word(static_cast<std::size_t>(pair));
    const std::uint64_t offset = word(static_cast<std::size_t>(pair) + 4);
    if (offset + length >= size_) return std::nullopt;
    const auto start = static_cast<std::size_t>(offset);
    if (bytes_[start + static_cast<std::size_t>(length)] != 0) return std::nullopt;
    return reinterpret_cast<const char*>(bytes_ + start);
  }

  const unsigned char* bytes_;
  std::size_t size_;
  bool swapped_ = false;
  std::uint32_t count_ = 0;
  std::uint32_t originals_ = 0;
  std::uint32_t translations_ = 0;
};

struct Selection {
  std::string language;
  std::optional<MessageTable> table;
};

Selection& selection() {
  static Selection chosen;
  return chosen;
}

const CompiledCatalogue* compiledCatalogue(std::string_view language) {
  for (std::size_t i = 0; i < COMPILED_CATALOGUE_COUNT; ++i) {
    if (language == COMPILED_CATALOGUES[i].language) return &COMPILED_CATALOGUES[i];
  }
  return nullptr;
}

// The language part of a locale name or LANGUAGE item: "ja" of "ja_JP.UTF-8@x".
std::string_view languageOf(std::string_view name) {
  return name.substr(0, name.find_first_of("_.@"));
}

// Whether the console can show the text of `language`: any language where it takes
// Unicode, only Japanese where it takes code page 932, none but English where it takes
// ASCII only.
bool consoleShows(std::string_view language, platform::ConsoleCharset charset) {
  switch (charset) {
    case platform::ConsoleCharset::Unicode:
      return true;
    case platform::ConsoleCharset::Cp932:
      return language == "ja";
    case platform::ConsoleCharset::Ascii:
      return false;
  }
  return false;
}

}  // namespace

const char* tr(const char* english) {
  const std::optional<MessageTable>& table = selection().table;
  if (!table) return english;
  const char* translated = table->find(english);
  return translated != nullptr ? translated : english;
}

bool useLanguage(std::string_view language) {
  Selection& chosen = selection();
  chosen = Selection{};
  const CompiledCatalogue* catalogue = compiledCatalogue(language);
  if (catalogue == nullptr) return language.empty();
  chosen.table = MessageTable::read(catalogue->bytes, catalogue->size);
  if (!chosen.table) return false;
  chosen.language = std::string(language);
  return true;
}

std::string chooseLanguage() {
  const platform::ConsoleLocale locale = platform::consoleLocale();
  for (const std::string& wanted : locale.languages) {
    const std::string_view language = languageOf(wanted);
    if (language == "en" || language == "C" || language == "POSIX") break;
    if (compiledCatalogue(language) != nullptr && consoleShows(language, locale.charset) &&
        useLanguage(language)) {
      return std::string(language);
    }
  }
  useLanguage("");
  return {};
}

std::string currentLanguage() { return selection().language; }

std::vector<std::string> catalogueLanguages() {
  std::vector<std::string> languages;
  for (std::size_t i = 0; i < COMPILED_CATALOGUE_COUNT; ++i) {
    languages.push_back(COMPILED_CATALOGUES[i].language);
  }
  return languages;
}

}  // namespace kupack
