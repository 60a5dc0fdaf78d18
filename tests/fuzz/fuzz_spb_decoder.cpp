// libFuzzer target: the SPB decoder (decoded pictures re-coded and decoded again).
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = kupack::fuzz::checkSpbDecoder({data, size});
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_spb_decoder: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
