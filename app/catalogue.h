// The program's texts in the user's language. Every text the program shows is written in the
// code as its English original inside tr(); the catalogue of the chosen language (po/*.po,
// compiled in) gives its translation, and a text with no translation shows as written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kupack {

// The chosen language's text for `english` (UTF-8). The text lives as long as the program.
// A printf template keeps its conversions in every language (msgfmt --check sees to it), so
// the compiler checks the arguments against the English one.
#if defined(__GNUC__)
#define KUPACK_FORMAT_ARG(n) __attribute__((format_arg(n)))
#else
#define KUPACK_FORMAT_ARG(n)
#endif
const char* tr(const char* english) KUPACK_FORMAT_ARG(1);

// Chooses the language once at start from the user's settings (platform::consoleLocale):
// the first wanted language with a catalogue whose text the console can show; English
// otherwise. Returns the language chosen ("" for English).
std::string chooseLanguage();

// Uses the catalogue of `language` ("ja"), or English for "" or a language without one;
// true when the language asked for is the one now used. For tests and for chooseLanguage.
bool useLanguage(std::string_view language);

// The language in use: "" for English, else the catalogue's name ("ja").
std::string currentLanguage();

// The languages with a catalogue compiled in.
std::vector<std::string> catalogueLanguages();

}  // namespace kupack
