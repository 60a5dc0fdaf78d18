// `kup_read ARCHIVE` prints one line per entry: stored size, source size, coding, name.
// `kup_read ARCHIVE NAME` writes the named entry, decoded, to standard output.
// Failures are printed to standard error with exit status 1.
#include <kupack/archive.h>

#include <cstdio>
#include <span>

namespace {

const char* codingName(kupack::Coding coding) {
  switch (coding) {
    case kupack::Coding::stored:
      return "stored";
    case kupack::Coding::spb:
      return "SPB";
    case kupack::Coding::lzss:
      return "LZSS";
  }
  return "?";
}

class StdoutSink : public kupack::EntrySink {
 public:
  void write(std::span<const std::uint8_t> bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      throw kupack::Error("cannot write to standard output");
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fputs("usage: kup_read ARCHIVE [NAME]\n", stderr);
    return 2;
  }
  try {
    kupack::Archive archive(argv[1]);
    for (const kupack::Entry& entry : archive.entries()) {
      if (argc == 2) {
        std::printf("%lu %lu %s %s\n", static_cast<unsigned long>(entry.storedSize),
                    static_cast<unsigned long>(entry.sourceSize), codingName(entry.coding),
                    entry.name.c_str());
      } else if (entry.name == argv[2]) {
        StdoutSink sink;
        archive.decodeInPieces(entry, sink);  // a few MiB whatever the entry holds
        return std::fflush(stdout) == 0 ? 0 : 1;
      }
    }
    if (argc == 3) {
      std::fprintf(stderr, "kup_read: no entry %s\n", argv[2]);
      return 1;
    }
  } catch (const kupack::Error& error) {
    std::fprintf(stderr, "kup_read: %s\n", error.what());
    return 1;
  }
  return 0;
}
