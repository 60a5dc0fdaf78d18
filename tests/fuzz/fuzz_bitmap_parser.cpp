// libFuzzer target: the bitmap parser (accepted pictures coded and decoded again).
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = kupack::fuzz::checkBitmapParser({data, size});
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_bitmap_parser: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
