// The mount's file system model called as the kernel would call it, without a kernel:
// sizes without decoding, reads at and past the ends, one decode for many readers, the
// cache's budget, broken entries, an archive replaced under the mount, and what is no
// archive at all.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "app/status_text.h"
#include "archive/decode_cache.h"
#include "archive/mounted_archive.h"
#include "codec/lzss.h"
#include "common/console.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using platform::NodeAttributes;
using test::BMP_2X1;
using test::BuiltEntry;
using test::storedEntry;

// An LZSS entry whose stream codes `text`.
BuiltEntry lzssEntry(const std::string& name, const std::string& text) {
  std::vector<std::uint8_t> coded;
  SpanSource input(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  VectorSink output(coded);
  EXPECT_EQ(lzssCompress(input, output, text.size()), CodingResult::Done);
  return {name, 2, std::string(coded.begin(), coded.end()),
          static_cast<std::uint32_t>(text.size())};
}

class MountedArchiveTest : public ::testing::Test {
 protected:
  // Mounts (without a kernel) an archive of `entries` with a cache of `budget` bytes.
  MountedArchive& mount(const std::vector<BuiltEntry>& entries,
                        std::uint64_t budget = DEFAULT_MOUNT_CACHE_BYTES,
                        platform::FileSystem* files = nullptr) {
    test::writeFile(archive(), test::buildArchiveBytes(entries));
    tree_ = std::make_unique<MountedArchive>(
        budget,
        [this](const Status& report) {
          const std::lock_guard lock(reportsMutex_);
          reports_ += statusText(report);
        },
        files);
    const Status status = tree_->open(archive().string());
    EXPECT_TRUE(status.isOk()) << statusText(status);
    return *tree_;
  }

  fs::path archive() const { return dir_ / "a.kup"; }

  // The node of a '/'-separated path below the root, 0 when a level is missing.
  std::uint64_t nodeOf(const std::string& path) {
    std::uint64_t node = platform::ROOT_NODE;
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      NodeAttributes child;
      if (tree_->lookup(node, path.substr(start, end - start), child) != 0) return 0;
      node = child.node;
      start = end + 1;
    }
    return node;
  }

  // Reads `length` bytes at `offset` through open/read/release; the error as "E<n>".
  std::string readAt(const std::string& path, std::uint64_t offset, std::size_t length) {
    std::uint64_t handle = 0;
    if (const int error = tree_->open(nodeOf(path), handle); error != 0) {
      return "E" + std::to_string(error);
    }
    std::string bytes(length, '\0');
    std::size_t got = 0;
    const int error = tree_->read(
        handle, offset, std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), length), got);
    tree_->release(handle);
    if (error != 0) return "E" + std::to_string(error);
    return bytes.substr(0, got);
  }

  std::string readAll(const std::string& path) { return readAt(path, 0, 1 << 22); }

  std::string reports() {
    const std::lock_guard lock(reportsMutex_);
    return reports_;
  }

  test::TempDir dir_;
  test::FaultFileSystem faults_;  // for the mounts given it; outlives them
  std::unique_ptr<MountedArchive> tree_;
  std::mutex reportsMutex_;
  std::string reports_;
};

const std::string EIO_TEXT = "E" + std::to_string(EIO);

TEST_F(MountedArchiveTest, TreeHasExtractionPathsAndTrueSizesWithoutDecoding) {
  std::vector<BuiltEntry> entries = test::sampleEntries();
  entries.push_back(storedEntry("..\\escape.txt", "x"));
  entries.push_back(storedEntry("readme.txt\\inner", "y"));  // a file stands on its path
  entries.push_back(storedEntry("readme.txt", "again"));     // the path is taken
  // Right after entries of the same folder: a refused name and a two-byte one.
  entries.insert(entries.begin() + 3, {storedEntry("pic\\c:x", "z"),
                                       storedEntry("pic\\" + test::sjis("説明.txt"), "note")});
  MountedArchive& tree = mount(entries);

  NodeAttributes attributes;
  ASSERT_EQ(tree.getattr(nodeOf("pic/true.bmp"), attributes), 0);
  EXPECT_EQ(attributes.size, BMP_2X1.size());
  ASSERT_EQ(tree.getattr(nodeOf("pic/pal.bmp"), attributes), 0);
  EXPECT_EQ(attributes.size, 4u);
  ASSERT_EQ(tree.getattr(nodeOf("sub/deep"), attributes), 0);
  EXPECT_TRUE(attributes.isFolder);
  EXPECT_EQ(tree.decodeCount(), 0u);

  std::vector<std::string> listed;
  std::vector<std::uint64_t> sizes;
  ASSERT_EQ(tree.readdir(platform::ROOT_NODE, 0,
                         [&](std::string_view name, const NodeAttributes& child, std::uint64_t) {
                           listed.emplace_back(name);
                           sizes.push_back(child.size);
                           return true;
                         }),
            0);
  EXPECT_EQ(listed, (std::vector<std::string>{"readme.txt", "pic", "sub"}));
  EXPECT_EQ(sizes, (std::vector<std::uint64_t>{6, 0, 0}));
  // A listing resumed after its first child, and one whose reply is full after one child.
  listed.clear();
  tree.readdir(platform::ROOT_NODE, 1, [&](std::string_view name, const NodeAttributes&, auto) {
    listed.emplace_back(name);
    return listed.size() < 1;
  });
  EXPECT_EQ(listed, (std::vector<std::string>{"pic"}));

  EXPECT_TRUE(
      test::contains(reports(), "..\\escape.txt: left out (the name holds a \"..\" level)"));
  EXPECT_TRUE(
      test::contains(reports(), "readme.txt\\inner: left out (another entry takes its path)"));
  EXPECT_TRUE(test::contains(reports(), "pic\\c:x: left out (the name holds a drive letter"));
  EXPECT_EQ(readAll("readme.txt"), "hello\n");  // the first of the two entries
  EXPECT_EQ(readAll(test::nativeName("pic/説明.txt")), "note");

  NodeAttributes child;
  EXPECT_EQ(tree.lookup(platform::ROOT_NODE, "missing", child), ENOENT);
  EXPECT_EQ(tree.lookup(nodeOf("readme.txt"), "x", child), ENOTDIR);
  EXPECT_EQ(tree.getattr(999, attributes), ENOENT);
  std::uint64_t handle = 0;
  EXPECT_EQ(tree.open(nodeOf("pic"), handle), EISDIR);
}

// A path of more levels than the tree's table first has room for (it grows as folders are
// added), and folders whose entries alternate: every entry is found, listed in archive order.
TEST_F(MountedArchiveTest, DeepPathsAndAlternatingFoldersAreAllFound) {
  std::string deep;
  for (int level = 0; level < 60; ++level) deep += "d" + std::to_string(level) + "\\";
  mount({storedEntry(deep + "leaf.txt", "leaf"), storedEntry("top.txt", "top")});
  std::string deepPath = deep + "leaf.txt";
  std::replace(deepPath.begin(), deepPath.end(), '\\', '/');
  EXPECT_EQ(readAt(deepPath, 0, 16), "leaf");
  EXPECT_EQ(readAt("top.txt", 0, 16), "top");

  std::vector<BuiltEntry> entries;
  for (int i = 0; i < 600; ++i) {
    const std::string name = "f" + std::to_string(i % 40) + "\\n" + std::to_string(i);
    entries.push_back(storedEntry(name, std::to_string(i)));
  }
  mount(entries);
  for (int i = 0; i < 600; ++i) {
    const std::string path = "f" + std::to_string(i % 40) + "/n" + std::to_string(i);
    ASSERT_EQ(readAt(path, 0, 16), std::to_string(i)) << path;
  }
  std::vector<std::string> listed;
  tree_->readdir(nodeOf("f7"), 0, [&](std::string_view name, const NodeAttributes&, auto) {
    listed.emplace_back(name);
    return true;
  });
  std::vector<std::string> expected;
  for (int i = 7; i < 600; i += 40) expected.push_back("n" + std::to_string(i));
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(reports(), "");
}

TEST_F(MountedArchiveTest, ReadsStopAtEachEntrysEnd) {
  mount(test::sampleEntries());
  EXPECT_EQ(readAll("readme.txt"), "hello\n");
  EXPECT_EQ(readAt("readme.txt", 3, 2), "lo");
  EXPECT_EQ(readAt("readme.txt", 4, 100), "o\n");
  EXPECT_EQ(readAt("readme.txt", 6, 10), "");
  EXPECT_EQ(readAt("readme.txt", std::uint64_t{1} << 40, 10), "");
  EXPECT_EQ(readAll("pic/pal.bmp"), "aaaa");
  EXPECT_EQ(readAt("pic/pal.bmp", 3, 9), "a");
  EXPECT_EQ(readAt("pic/pal.bmp", 4, 9), "");
  EXPECT_EQ(readAll("pic/true.bmp"), BMP_2X1);
  EXPECT_EQ(readAt("pic/true.bmp", 54, 5), BMP_2X1.substr(54, 5));
  EXPECT_EQ(readAt("pic/true.bmp", 60, 5), BMP_2X1.substr(60));
  EXPECT_EQ(readAt("pic/true.bmp", 62, 5), "");
  EXPECT_EQ(readAll("sub/deep/empty.dat"), "");
  EXPECT_EQ(tree_->decodeCount(), 2u);  // each coded entry once
}

TEST_F(MountedArchiveTest, CacheKeepsToItsBudgetAndLargerEntriesGoToATemporaryFile) {
  std::vector<BuiltEntry> entries;
  for (const char* name : {"a", "b", "c"}) entries.push_back({name, 2, test::LZSS_AAAA, 4});
  entries.push_back({"big.bmp", 1, test::SPB_2X1, 60});
  MountedArchive& tree = mount(entries, 8);

  EXPECT_EQ(readAll("a"), "aaaa");
  EXPECT_EQ(readAll("b"), "aaaa");
  EXPECT_EQ(tree.cachedBytes(), 8u);
  EXPECT_EQ(readAll("a"), "aaaa");  // still cached, and now the most recent
  EXPECT_EQ(tree.decodeCount(), 2u);
  EXPECT_EQ(readAll("c"), "aaaa");  // evicts b, the least recent
  EXPECT_EQ(tree.cachedBytes(), 8u);
  EXPECT_EQ(readAll("a"), "aaaa");
  EXPECT_EQ(tree.decodeCount(), 3u);
  EXPECT_EQ(readAll("b"), "aaaa");
  EXPECT_EQ(tree.decodeCount(), 4u);

  // 62 bytes over an 8-byte budget: decoded into a temporary file, kept while open.
  std::uint64_t handle = 0;
  ASSERT_EQ(tree.open(nodeOf("big.bmp"), handle), 0);
  std::vector<std::uint8_t> buffer(100);
  std::size_t got = 0;
  ASSERT_EQ(tree.read(handle, 0, buffer, got), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got)),
            BMP_2X1);
  ASSERT_EQ(tree.read(handle, 58, std::span(buffer).first(3), got), 0);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), BMP_2X1.substr(58, 3));
  EXPECT_EQ(tree.decodeCount(), 5u);
  EXPECT_EQ(tree.cachedBytes(), 8u);
  tree.release(handle);
  EXPECT_EQ(readAll("big.bmp"), BMP_2X1);  // decoded again once it was closed
  EXPECT_EQ(tree.decodeCount(), 6u);
}

// The archive and the decode cache's temporary files are reached through the file layer: a
// failed read of either is EIO for that read alone, named in a report.
TEST_F(MountedArchiveTest, FailedReadsOfTheArchiveAndTemporaryFilesGiveEio) {
  test::FaultFileSystem& faults = faults_;
  mount({storedEntry("s.txt", "hello"), {"big.bmp", 1, test::SPB_2X1, 60}}, 8, &faults);
  faults.failRead(faults.reads() + 1);
  EXPECT_EQ(readAll("s.txt"), EIO_TEXT);
  EXPECT_TRUE(test::contains(reports(), archive().string())) << reports();
  EXPECT_EQ(readAll("s.txt"), "hello");  // the next read is sound

  // 62 bytes over an 8-byte budget go to a temporary file: its first read back fails.
  std::uint64_t handle = 0;
  ASSERT_EQ(tree_->open(nodeOf("big.bmp"), handle), 0);
  std::vector<std::uint8_t> buffer(100);
  std::size_t got = 0;
  ASSERT_EQ(tree_->read(handle, 0, buffer, got), 0);
  EXPECT_EQ(got, BMP_2X1.size());
  faults.failRead(faults.reads() + 1);  // the temporary file's next read: nothing else reads
  EXPECT_EQ(tree_->read(handle, 0, buffer, got), EIO);
  EXPECT_EQ(tree_->read(handle, 0, buffer, got), 0);
  tree_->release(handle);
  EXPECT_TRUE(test::contains(reports(), "big.bmp")) << reports();
}

TEST_F(MountedArchiveTest, ParallelReadersShareOneDecode) {
  std::string source;
  for (std::size_t i = 0; source.size() < (3u << 20); ++i) {
    source += "line " + std::to_string(i * 7919 % 100003) + "\n";
  }
  std::vector<std::uint8_t> coded;
  {
    SpanSource input(
        std::span(reinterpret_cast<const std::uint8_t*>(source.data()), source.size()));
    VectorSink output(coded);
    ASSERT_EQ(lzssCompress(input, output, source.size()), CodingResult::Done);
  }
  const std::string stream(coded.begin(), coded.end());
  MountedArchive& tree = mount({{"text.txt", 2, stream, static_cast<std::uint32_t>(source.size())},
                                {"small", 2, test::LZSS_AAAA, 4}});

  constexpr int READERS = 8;
  std::vector<std::string> results(READERS);
  {
    std::vector<std::jthread> readers;
    for (int reader = 0; reader < READERS; ++reader) {
      readers.emplace_back([&, reader] {
        std::uint64_t handle = 0;
        if (tree.open(nodeOf("text.txt"), handle) != 0) return;
        std::vector<std::uint8_t> chunk(128 << 10);
        for (std::uint64_t offset = 0;;) {
          std::size_t got = 0;
          if (tree.read(handle, offset, chunk, got) != 0 || got == 0) break;
          results[reader].append(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
          offset += got;
        }
        tree.release(handle);
      });
    }
  }
  for (const std::string& result : results) EXPECT_TRUE(result == source);
  EXPECT_EQ(tree.decodeCount(), 1u);
}

TEST_F(MountedArchiveTest, BrokenEntryFailsWithEioAndTheOthersStayReadable) {
  std::vector<BuiltEntry> entries = test::sampleEntries();
  entries.push_back({"cut.bmp", 2, test::LZSS_AAAA.substr(0, 1), 4});
  std::string badPicture = test::SPB_2X1;
  badPicture.back() = '\x7F';
  entries.push_back({"bad.bmp", 1, badPicture, 60});
  mount(entries);

  EXPECT_EQ(readAll("cut.bmp"), EIO_TEXT);
  EXPECT_EQ(readAll("cut.bmp"), EIO_TEXT);
  EXPECT_EQ(readAll("bad.bmp"), EIO_TEXT);
  EXPECT_EQ(readAll("readme.txt"), "hello\n");
  EXPECT_EQ(readAll("pic/pal.bmp"), "aaaa");
  EXPECT_EQ(readAll("pic/true.bmp"), BMP_2X1);
  const std::string text = reports();
  EXPECT_TRUE(test::contains(text, "cut.bmp: its source size 4 is more than"));
  EXPECT_TRUE(test::contains(text, "bad.bmp: "));
  EXPECT_EQ(text.find("cut.bmp:"), text.rfind("cut.bmp:"));  // reported once
}

// Pictures whose BMP size cannot be worked out show as empty files, but opening or reading
// them fails as for any entry that does not decode, never as an empty read.
TEST_F(MountedArchiveTest, PicturesWithoutABmpSizeFailWithEio) {
  std::vector<BuiltEntry> entries = test::sampleEntries();
  entries.push_back({"short.bmp", 1, std::string("\x00\x02", 2), 60});
  entries.push_back({"huge.bmp", 1, std::string("\xFF\xFF\xFF\xFF\x00\x00", 6), 60});
  MountedArchive& tree = mount(entries);

  for (const char* name : {"short.bmp", "huge.bmp"}) {
    SCOPED_TRACE(name);
    NodeAttributes attributes;
    ASSERT_EQ(tree.getattr(nodeOf(name), attributes), 0);
    EXPECT_EQ(attributes.size, 0u);
    std::uint64_t handle = 0;
    EXPECT_EQ(tree.open(nodeOf(name), handle), EIO);
    std::vector<std::uint8_t> buffer(16);
    std::size_t got = 0;
    EXPECT_EQ(tree.read(nodeOf(name), 0, buffer, got), EIO);
    EXPECT_EQ(got, 0u);
  }
  EXPECT_EQ(readAll("pic/true.bmp"), BMP_2X1);
  const std::string text = reports();
  EXPECT_TRUE(test::contains(text, "short.bmp: its SPB stream of 2 bytes is shorter")) << text;
  EXPECT_TRUE(test::contains(text, "huge.bmp: ")) << text;
  EXPECT_EQ(text.find("huge.bmp:"), text.rfind("huge.bmp:"));  // reported once
}

// Readers taking turns on entries that fit the cache one at a time but not together:
// an open entry is never thrown away, so each is decoded once. Many entries open at once
// keep memory within twice the cache's budget; the others go to temporary files.
TEST_F(MountedArchiveTest, OpenEntriesDecodeOnceAndMemoryStaysWithinTwiceTheBudget) {
  const std::vector<std::string> texts = {"abcabc", "xyzxyz", "qrsqrs", "klmklm", "tuvtuv"};
  std::vector<BuiltEntry> entries;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    entries.push_back(lzssEntry("e" + std::to_string(i), texts[i]));
  }
  MountedArchive& tree = mount(entries, 8);

  std::vector<std::uint64_t> handles(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(tree.open(nodeOf("e" + std::to_string(i)), handles[i]), 0);
  }
  // Byte by byte, every entry in turn.
  std::vector<std::string> read(texts.size());
  for (std::uint64_t offset = 0; offset < 6; ++offset) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::uint8_t byte = 0;
      std::size_t got = 0;
      ASSERT_EQ(tree.read(handles[i], offset, std::span(&byte, 1), got), 0);
      ASSERT_EQ(got, 1u);
      read[i] += static_cast<char>(byte);
    }
  }
  EXPECT_EQ(read, texts);
  EXPECT_EQ(tree.decodeCount(), texts.size());
  EXPECT_EQ(tree.peakMemoryBytes(), 12u);  // two entries; the other three in files
  EXPECT_EQ(tree.cachedBytes(), 0u);       // nothing is closed yet

  for (const std::uint64_t handle : handles) tree.release(handle);
  EXPECT_EQ(tree.cachedBytes(), 6u);  // closed: the budget keeps one
  EXPECT_EQ(readAll("e1"), texts[1]);
  EXPECT_EQ(tree.decodeCount(), texts.size());  // the one kept: e1, the last closed in memory
  EXPECT_EQ(readAll("e0"), texts[0]);
  EXPECT_EQ(tree.decodeCount(), texts.size() + 1);
  EXPECT_LE(tree.peakMemoryBytes(), 16u);
}

// Readers on several threads opening, reading and closing entries in different orders:
// every byte right, and memory never past twice the budget.
TEST_F(MountedArchiveTest, ManyReadersOfManyEntriesKeepTheMemoryBound) {
  const std::vector<std::string> texts = {"abcabc", "xyzxyz", "qrsqrs", "klmklm", "tuvtuv"};
  std::vector<BuiltEntry> entries;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    entries.push_back(lzssEntry("e" + std::to_string(i), texts[i]));
  }
  MountedArchive& tree = mount(entries, 8);
  constexpr std::size_t READERS = 6;
  std::vector<std::size_t> wrong(READERS, 0);
  {
    std::vector<std::jthread> readers;
    for (std::size_t reader = 0; reader < READERS; ++reader) {
      readers.emplace_back([&, reader] {
        for (std::size_t round = 0; round < 20; ++round) {
          const std::size_t i = (reader * 3 + round) % texts.size();
          if (readAll("e" + std::to_string(i)) != texts[i]) ++wrong[reader];
        }
      });
    }
  }
  EXPECT_EQ(wrong, std::vector<std::size_t>(READERS, 0));
  EXPECT_LE(tree.peakMemoryBytes(), 16u);
  EXPECT_LE(tree.cachedBytes(), 8u);
}

// A decode that cannot get its memory fails that read with EIO; the mount and its other
// entries live on. Run in a child process whose address space is limited.
TEST_F(MountedArchiveTest, DecodeWithoutMemoryFailsTheReadNotTheMount) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve address space that the limit would refuse";
#else
  std::vector<BuiltEntry> entries = test::sampleEntries();
  entries.push_back({"vast.bin", 2, test::LZSS_AAAA, 0xFFFFFFFFu});  // 4 GiB, fits the cache
  MountedArchive& tree = mount(entries, std::uint64_t{8} << 30);
  const auto readInLimitedMemory = [&] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit{used + (rlim_t{512} << 20), used + (rlim_t{512} << 20)};
    setrlimit(RLIMIT_AS, &limit);
    const bool failed = readAll("vast.bin") == EIO_TEXT && readAll("vast.bin") == EIO_TEXT;
    const bool othersRead = readAll("pic/pal.bmp") == "aaaa" && readAll("pic/true.bmp") == BMP_2X1;
    const bool said = test::contains(reports(), "vast.bin: not enough memory");
    std::_Exit(failed && othersRead && said ? 0 : 3);
  };
  EXPECT_EXIT(readInLimitedMemory(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(tree.decodeCount(), 0u);  // all of it happened in the child
#endif
}

TEST_F(MountedArchiveTest, ReplacedOrChangedArchiveGivesEio) {
  mount(test::sampleEntries());
  EXPECT_EQ(readAll("readme.txt"), "hello\n");
  std::uint64_t handle = 0;
  ASSERT_EQ(tree_->open(nodeOf("readme.txt"), handle), 0);

  std::vector<BuiltEntry> other = test::sampleEntries();
  other[0] = storedEntry("readme.txt", "HELLO\n");
  test::writeFile(dir_ / "new.kup", test::buildArchiveBytes(other));
  fs::rename(dir_ / "new.kup", archive());

  std::vector<std::uint8_t> buffer(16);
  std::size_t got = 0;
  EXPECT_EQ(tree_->read(handle, 0, buffer, got), EIO);
  tree_->release(handle);
  EXPECT_EQ(readAll("pic/pal.bmp"), EIO_TEXT);
  EXPECT_TRUE(test::contains(reports(), "has been replaced or changed"));

  // Changed in place: same file, other length.
  mount(test::sampleEntries());
  EXPECT_EQ(readAll("readme.txt"), "hello\n");
  {
    std::ofstream grow(archive(), std::ios::binary | std::ios::app);
    grow << "x";
  }
  EXPECT_EQ(readAll("readme.txt"), EIO_TEXT);

  // Mounted over its own folder, its name cannot be looked at: the open file tells. An
  // archive that lost its name to another file has been replaced.
  mount(test::sampleEntries()).watchOpenArchiveOnly();
  fs::rename(archive(), dir_ / "aside.kup");
  EXPECT_EQ(readAll("pic/pal.bmp"), "aaaa");
  fs::remove(dir_ / "aside.kup");
  EXPECT_EQ(readAll("readme.txt"), EIO_TEXT);
  mount(test::sampleEntries()).watchOpenArchiveOnly();
  {
    std::ofstream grow(archive(), std::ios::binary | std::ios::app);
    grow << "x";
  }
  EXPECT_EQ(readAll("readme.txt"), EIO_TEXT);
}

TEST_F(MountedArchiveTest, HostileArchiveIsRefusedAtMount) {
  std::string bytes = test::buildArchiveBytes(test::sampleEntries());
  bytes.resize(bytes.size() - 1);
  test::writeFile(archive(), bytes);
  MountedArchive tree(DEFAULT_MOUNT_CACHE_BYTES, [](const Status&) {});
  const Status status = tree.open(archive().string());
  EXPECT_FALSE(status.isOk());
  EXPECT_TRUE(test::contains(statusText(status), "a.kup: the file is"));
  EXPECT_FALSE(tree.open((dir_ / "missing.kup").string()).isOk());

  // A failed open leaves nothing of the archive opened before it.
  mount(test::sampleEntries());
  EXPECT_FALSE(tree_->open((dir_ / "missing.kup").string()).isOk());
  NodeAttributes child;
  EXPECT_EQ(tree_->lookup(platform::ROOT_NODE, "readme.txt", child), ENOENT);
  std::uint64_t handle = 0;
  EXPECT_EQ(tree_->open(2, handle), ENOENT);
}

// What is no archive is refused in the words -l uses, whatever errno the calls before left.
TEST_F(MountedArchiveTest, NonArchivesAreRefusedAsTheReaderRefusesThem) {
  ASSERT_EQ(mkfifo((dir_ / "pipe.kup").c_str(), 0600), 0);
  fs::create_directory(dir_ / "folder.kup");
  const std::pair<const char*, const char*> cases[] = {
      {"pipe.kup", "pipe.kup: is not a regular file, not an archive\n"},
      {"folder.kup", "folder.kup: is a folder, not an archive\n"},
      {"missing.kup", "missing.kup: cannot open ("},
  };
  for (const auto& [name, said] : cases) {
    errno = ENOTTY;
    MountedArchive tree(DEFAULT_MOUNT_CACHE_BYTES, [](const Status&) {});
    const std::string text = statusText(tree.open((dir_ / name).string()));
    ArchiveReader reader;
    EXPECT_EQ(text, statusText(reader.open((dir_ / name).string()))) << name;
    EXPECT_TRUE(test::contains(text, said)) << text;
  }
}

TEST_F(MountedArchiveTest, NamesChangedByLowerCasingAreNotedOnceAndKeptAsRecorded) {
  // "アイコン.txt" lower-cased byte by byte at packing: recorded as "ヂツビン.txt".
  const std::string recorded = test::sjis("ヂツビン.txt");
  mount({storedEntry(recorded, "icon"), storedEntry(test::sjis("ヂ.txt"), "x"),
         storedEntry("plain.txt", "p")});
  EXPECT_EQ(readAll(test::nativeName("ヂツビン.txt")), "icon");
  const std::string text = reports();
  EXPECT_TRUE(test::contains(text, "note: ヂツビン.txt and 1 other name: ")) << text;
  EXPECT_EQ(text.find("note:"), text.rfind("note:"));  // once
}

TEST(MountCommandTest, MistakesAreUsageErrors) {
  test::TempDir dir;
  EXPECT_EQ(test::runKupack({"--mount", "a.kup"}, dir.path()).exitCode, 2);
  EXPECT_EQ(test::runKupack({"--mount", "a.kup", "mnt", "-o", "cache=lots"}, dir.path()).exitCode,
            2);
  EXPECT_EQ(test::runKupack({"--mount", "a.kup", "mnt", "-x"}, dir.path()).exitCode, 2);
  // A folder that does not exist, or no FUSE: says so, exits 1.
  const test::RunResult run = test::runKupack({"--mount", "a.kup", "missing"}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(run.err.empty());
}

TEST(MountCommandTest, NamedPipeIsRefusedInTheWordsOfList) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
  test::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe.kup").c_str(), 0600), 0);
  fs::create_directory(dir / "mnt");
  const test::RunResult mounted = test::runKupack({"--mount", "pipe.kup", "mnt"}, dir.path());
  const test::RunResult listed = test::runKupack({"-l", "pipe.kup"}, dir.path());
  EXPECT_EQ(mounted.exitCode, 1);
  EXPECT_TRUE(test::contains(mounted.err, "pipe.kup: is not a regular file")) << mounted.err;
  EXPECT_EQ(mounted.err, listed.err);
}

// A large entry is decoded on the cache's pool, and a read is served as soon as its bytes
// are decoded, while the decoder still waits to go on; reads past what a failed decode gave
// fail. In memory and in a temporary file.
TEST(DecodeCacheTest, LargeEntriesServeReadsAsTheirBytesAreDecoded) {
  constexpr std::size_t HALF = DecodeCache::LARGE_ENTRY;
  std::vector<std::uint8_t> bytes(2 * HALF);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 / 5);
  const std::span<const std::uint8_t> all(bytes);
  for (const std::uint64_t budget : {std::uint64_t{64} << 20, std::uint64_t{1}}) {
    for (const bool fails : {false, true}) {
      SCOPED_TRACE(std::to_string(budget) + (fails ? " failing" : ""));
      std::promise<void> release;
      std::shared_future<void> released = release.get_future().share();
      std::vector<std::size_t> problems;
      DecodeCache cache(
          budget, platform::realFileSystem(),
          [&](std::size_t, ByteSink& sink) {
            if (!sink.put(all.first(HALF))) return false;
            released.wait();
            return !fails && sink.put(all.subspan(HALF));
          },
          [&](std::size_t entry, const Status&) { problems.push_back(entry); }, 2);
      cache.opened(0);
      const auto readAt = [&](std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& piece) {
        piece.assign(size, 0);
        return cache.read(0, bytes.size(), offset, piece);
      };
      std::vector<std::uint8_t> piece;
      auto early = std::async(std::launch::async, [&] { return readAt(HALF - 100, 100, piece); });
      // Bounded: a read that waited for the whole decode would wait here for ever.
      const bool served = early.wait_for(std::chrono::minutes(2)) == std::future_status::ready;
      EXPECT_TRUE(served) << "the read waited for the rest of the decode";
      release.set_value();
      EXPECT_EQ(early.get(), 0);
      EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + HALF - 100));

      EXPECT_EQ(readAt(HALF - 10, 20, piece), fails ? EIO : 0);
      if (!fails) {
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + HALF - 10));
      }
      EXPECT_EQ(cache.decodeCount(), 1u);
      EXPECT_EQ(problems.size(), 0u);  // the decoder reports its own failures
      cache.closed(0);
    }
  }
}

}  // namespace
}  // namespace kupack
