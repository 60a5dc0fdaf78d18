// The program's texts in the user's language. Every text the program shows is written in the
// code as its English original inside tr(); the catalogue of the chosen language (po/*.po,
// compiled in) gives its translation, and a text with no translation shows as written.
#pragma once

namespace kupack {

// The chosen language's text for `english` (UTF-8). The text lives as long as the program.
const char* tr(const char* english);

}  // namespace kupack
