// The message catalogues compiled into the program: each po/LANGUAGE.po, checked and compiled
// by msgfmt at build time, as the bytes of its .mo file (generated source).
#pragma once

#include <cstddef>

namespace kupack {

struct CompiledCatalogue {
  const char* language;  // the PO file's name: "ja"
  const unsigned char* bytes;
  std::size_t size;
};

extern const CompiledCatalogue COMPILED_CATALOGUES[];
extern const std::size_t COMPILED_CATALOGUE_COUNT;

}  // namespace kupack
