# Writes a C++ source holding the compiled message catalogues (.mo files) as byte arrays,
# so that the program carries its translations and reads no file at run time.
#   cmake -DOUTPUT=catalogues.cpp -DCATALOGUES="ja=/path/ja.mo,de=/path/de.mo" -P embed_catalogues.cmake
string(REPLACE "," ";" CATALOGUES "${CATALOGUES}")
set(body "")
set(table "")
set(index 0)
foreach(pair IN LISTS CATALOGUES)
  string(FIND "${pair}" "=" split)
  string(SUBSTRING "${pair}" 0 ${split} language)
  math(EXPR start "${split} + 1")
  string(SUBSTRING "${pair}" ${start} -1 file)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(APPEND body "alignas(4) const unsigned char CATALOGUE_${index}[] = {\n    ${bytes}};\n")
  string(APPEND table "    {\"${language}\", CATALOGUE_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
  set(table "    {nullptr, nullptr, 0},\n")
endif()
file(WRITE "${OUTPUT}.new"
"// Generated at build time from po/*.po by cmake/embed_catalogues.cmake; do not edit.
#include \"app/compiled_catalogues.h\"

namespace kupack {
namespace {
${body}}  // namespace

const CompiledCatalogue COMPILED_CATALOGUES[] = {
${table}};
const std::size_t COMPILED_CATALOGUE_COUNT = ${index};

}  // namespace kupack
")
configure_file("${OUTPUT}.new" "${OUTPUT}" COPYONLY)
file(REMOVE "${OUTPUT}.new")
