// The reading library when memory runs short: decoding entries whose stored size or picture
// is larger than the process may hold throws kupack::Error, never std::bad_alloc or
// std::length_error, and decodeInPieces decodes them in bounded memory. Each case runs in a
// child process whose address space is capped.
#include <gtest/gtest.h>
#include <kupack/archive.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// The process's address space now, in bytes.
std::uint64_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

enum Outcome { THREW_ERROR = 0, RETURNED = 1, THREW_OTHER = 2 };

// Runs `work` in a child allowed 256 MiB of address space beyond what it has, and says how
// it ended (-1: killed by a signal).
template <typename Work>
int inCappedChild(Work work) {
  const pid_t child = fork();
  if (child == 0) {
    const rlim_t cap = static_cast<rlim_t>(addressSpaceInUse()) + (rlim_t{256} << 20);
    const rlimit limit{cap, cap};
    setrlimit(RLIMIT_AS, &limit);
    int outcome = RETURNED;
    try {
      work();
    } catch (const Error&) {
      outcome = THREW_ERROR;
    } catch (...) {
      outcome = THREW_OTHER;
    }
    _exit(outcome);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CountingSink final : public EntrySink {
 public:
  void write(std::span<const std::uint8_t> bytes) override { count += bytes.size(); }
  std::uint64_t count = 0;
};

// An archive of one entry named `name` with `stream` as its bytes, whose directory then claims
// `storedSize` bytes; the file is made that long without its blocks (a sparse file).
void writeClaimingArchive(const fs::path& path, std::uint8_t type, const std::string& stream,
                          std::uint32_t storedSize, std::uint32_t sourceSize) {
  std::string bytes = test::buildArchiveBytes({{"big.bmp", type, stream, sourceSize}});
  const std::size_t storedField = 6 + 8 + 1 + 4;  // count, data offset, name and zero, type, offset
  std::string field;
  test::appendBE32(field, storedSize);
  bytes.replace(storedField, 4, field);
  test::writeFile(path, bytes);
  fs::resize_file(path, 6 + 7 + 14 + std::uintmax_t{storedSize});  // header, directory, data
}

TEST(LibraryMemoryTest, HugeEntriesThrowErrorAndDecodeInPiecesInBoundedMemory) {
  if (SANITIZED) GTEST_SKIP() << "a sanitizer's shadow memory does not fit a capped address space";
  test::TempDir dir;
  const fs::path lzss = dir / "lzss.kup";
  // 3 GB of stored LZSS bytes (a sparse file): whole in memory they do not fit.
  writeClaimingArchive(lzss, 2, test::LZSS_AAAA, 0xC0000000u, 0xC0000000u);
  const std::string lzssPath = test::nativeOf(lzss);
  EXPECT_EQ(inCappedChild([&] {
              Archive archive(lzssPath);
              archive.decode(archive.entries()[0]);
            }),
            THREW_ERROR);
  EXPECT_EQ(inCappedChild([&] {
              Archive archive(lzssPath);
              CountingSink sink;
              archive.decode(archive.entries()[0], sink);
            }),
            THREW_ERROR);

  // A stored entry of 320 MiB, more than the child may hold besides what it has: into memory
  // it fails with Error, in pieces it comes whole.
  const std::uint32_t size = 320u << 20;
  const fs::path stored = dir / "stored.kup";
  writeClaimingArchive(stored, 0, "", size, size);
  const std::string storedPath = test::nativeOf(stored);
  EXPECT_EQ(inCappedChild([&] {
              Archive archive(storedPath);
              archive.decode(archive.entries()[0]);
            }),
            THREW_ERROR);
  EXPECT_EQ(inCappedChild([&] {
              Archive archive(storedPath);
              CountingSink sink;
              archive.decodeInPieces(archive.entries()[0], sink);
              if (sink.count != size) throw std::runtime_error("pieces lost");
            }),
            RETURNED);
}

}  // namespace
}  // namespace kupack
