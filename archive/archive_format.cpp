#include "archive/archive_format.h"

namespace kupack {

std::string normalizeName(std::string name) {
  for (char& c : name) {
    if (c == '/') {
      c = '\\';
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c + 0x20);
    }
  }
  return name;
}

}  // namespace kupack
