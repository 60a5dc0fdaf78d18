#include "codec/vector_loops.h"

#include <cstdlib>
#include <string_view>

namespace kupack {

bool vectorLoopsAllowed() {
  static const bool allowed = [] {
    const char* value = std::getenv("KUPACK_PORTABLE_LOOPS");
    return value == nullptr || std::string_view(value).empty() || std::string_view(value) == "0";
  }();
  return allowed;
}

}  // namespace kupack
