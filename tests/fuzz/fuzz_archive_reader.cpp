// libFuzzer target: the archive reader (header, directory, entry decoding, entry paths).
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = kupack::fuzz::checkArchiveReader({data, size});
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_archive_reader: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
