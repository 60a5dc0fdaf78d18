// The archive reader on its own: valid directories, every invariant broken on purpose,
// truncations, single-byte corruptions and hostile sizes.
#include "archive/archive_reader.h"

#include <gtest/gtest.h>

#include <span>

#include "app/status_text.h"
#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

using test::buildArchiveBytes;
using test::BuiltEntry;
using test::storedEntry;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Status parse(const std::string& archive, ArchiveDirectory& directory) {
  return parseArchiveDirectory(bytesOf(archive), archive.size(), "t.kup", directory);
}

// The failure message of parsing `archive`, or "" when it parses.
std::string parseError(const std::string& archive) {
  ArchiveDirectory directory;
  const Status status = parse(archive, directory);
  return status ? std::string() : statusText(status);
}

// Checks the invariants again, independently of the reader, on a parsed directory.
void expectConsistent(const ArchiveDirectory& directory) {
  std::uint64_t position = 6;
  std::uint64_t data = 0;
  for (const auto& entry : directory.entries) {
    EXPECT_FALSE(entry.name.empty());
    EXPECT_LE(entry.name.size(), 255u);
    EXPECT_EQ(entry.offset, data);
    EXPECT_LE(entry.type, 2);
    if (entry.type == ENTRY_STORED) {
      EXPECT_EQ(entry.storedSize, entry.sourceSize);
    }
    data += entry.storedSize;
    position += entry.name.size() + 14;
  }
  EXPECT_EQ(position, directory.dataOffset);
  EXPECT_EQ(directory.dataOffset + data, directory.archiveSize);
}

TEST(ArchiveReaderTest, ParsesEveryFieldOfAValidArchive) {
  const std::string archive = buildArchiveBytes(test::sampleEntries());
  ArchiveDirectory directory;
  ASSERT_TRUE(parse(archive, directory)) << parseError(archive);
  ASSERT_EQ(directory.entries.size(), 4u);
  EXPECT_EQ(directory.dataOffset, 6u + (10 + 14) + (11 + 14) + (12 + 14) + (18 + 14));
  const auto& lzss = directory.entries[1];
  EXPECT_EQ(lzss.name, "pic\\pal.bmp");
  EXPECT_EQ(lzss.type, ENTRY_LZSS);
  EXPECT_EQ(lzss.offset, 6u);
  EXPECT_EQ(lzss.storedSize, 3u);
  EXPECT_EQ(lzss.sourceSize, 4u);
  EXPECT_EQ(directory.entries[2].type, ENTRY_SPB);
  EXPECT_EQ(directory.entries[2].offset, 9u);
  EXPECT_EQ(directory.entries[3].offset, 20u);
  EXPECT_EQ(directory.entries[3].storedSize, 0u);
  expectConsistent(directory);
}

TEST(ArchiveReaderTest, AcceptsTheDocumentedSmallArchives) {
  ArchiveDirectory directory;
  EXPECT_TRUE(parse(std::string("\0\0\0\0\0\x06", 6), directory));
  EXPECT_TRUE(directory.entries.empty());
  const std::string oneFile = std::string("\x00\x01\x00\x00\x00\x19", 6) + "a.txt" +
                              std::string("\0\0\0\0\0\0\0\0\0\x0a\0\0\0\x0a", 14) + "0123456789";
  ASSERT_TRUE(parse(oneFile, directory));
  ASSERT_EQ(directory.entries.size(), 1u);
  EXPECT_EQ(directory.entries[0].name, "a.txt");
  EXPECT_EQ(directory.entries[0].sourceSize, 10u);
  // A 255-byte name is the longest allowed; Shift-JIS bytes above 0x80 are fine.
  EXPECT_EQ(parseError(buildArchiveBytes({storedEntry(std::string(255, 'n'), "x")})), "");
  EXPECT_EQ(parseError(buildArchiveBytes({storedEntry("\x83\x61\x83\x5c.txt", "x")})), "");
}

TEST(ArchiveReaderTest, EachBrokenInvariantIsNamedWithTheEntry) {
  struct Case {
    std::vector<BuiltEntry> entries;
    std::string expected;  // part of the message
  };
  const std::vector<Case> cases = {
      {{storedEntry("ok.txt", "1"), storedEntry("Upper.txt", "2")},
       "entry 2 (Upper.txt): the name is not normalized"},
      {{storedEntry("a/b.txt", "1")}, "entry 1 (a/b.txt): the name is not normalized"},
      {{storedEntry("", "1"), storedEntry("bb", "")}, "entry 1: the name is empty"},
      {{{"t.bin", 3, "xyz", 3}}, "entry 1 (t.bin): type 3 is none of"},
      {{{"t.bin", 0, "xyz", 4}}, "stored size 3 differs from its source size 4"},
      {{storedEntry(std::string(256, 'n'), "x"), storedEntry("b", "")},
       "entry 1: name is not terminated within 256"},
  };
  for (const auto& c : cases) {
    const std::string message = parseError(buildArchiveBytes(c.entries));
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_EQ(message.rfind("t.kup: ", 0), 0u) << message;
  }
  // Control bytes of a hostile name are not passed to the terminal.
  const std::string message = parseError(buildArchiveBytes({storedEntry("\x1b[31mA", "x")}));
  EXPECT_NE(message.find("(?[31mA)"), std::string::npos) << message;
}

TEST(ArchiveReaderTest, OffsetsAndLengthsMustAddUp) {
  std::string archive = buildArchiveBytes({storedEntry("a", "12"), storedEntry("b", "345")});
  // Second record: 6 + 15 (first record) + name "b" + terminator + type = offset field at 24.
  std::string wrongOffset = archive;
  wrongOffset[27] = 3;
  EXPECT_NE(parseError(wrongOffset).find("entry 2 (b): offset 3, but the entries before it take 2"),
            std::string::npos);
  EXPECT_NE(parseError(archive + "x")
                .find("the file is 42 bytes long, but its directory and data "
                      "take 41"),
            std::string::npos)
      << parseError(archive + "x");
  std::string wrongDataOffset = archive;
  wrongDataOffset[5] = static_cast<char>(archive[5] + 1);
  EXPECT_NE(parseError(wrongDataOffset)
                .find("the directory ends at byte 36, but the header's data "
                      "offset is 37"),
            std::string::npos)
      << parseError(wrongDataOffset);
}

TEST(ArchiveReaderTest, EveryTruncationIsRefused) {
  const std::string archive = buildArchiveBytes(test::sampleEntries());
  ArchiveDirectory whole;
  ASSERT_TRUE(parse(archive, whole));
  for (std::size_t length = 0; length < archive.size(); ++length) {
    const std::string cut = archive.substr(0, length);
    ArchiveDirectory directory;
    const Status status = parse(cut, directory);
    EXPECT_FALSE(status) << "length " << length;
    // Given only the first bytes of a whole file, the reader needs the whole directory.
    const bool parsed =
        parseArchiveDirectory(bytesOf(cut), archive.size(), "t.kup", directory).isOk();
    EXPECT_EQ(parsed, length >= whole.dataOffset) << "length " << length;
  }
}

TEST(ArchiveReaderTest, EverySingleByteCorruptionOfHeaderAndDirectory) {
  const std::string archive = buildArchiveBytes(test::sampleEntries());
  ArchiveDirectory original;
  ASSERT_TRUE(parse(archive, original));
  // Byte positions of the numeric fields: header and each record's offset and sizes
  // (source sizes of coded entries excepted, which only decoding can check).
  std::vector<bool> mustFail(original.dataOffset, false);
  for (std::size_t i = 0; i < 6; ++i) mustFail[i] = true;
  std::size_t record = 6;
  for (const auto& entry : original.entries) {
    const std::size_t fields = record + entry.name.size() + 2;
    const std::size_t checked = entry.type == ENTRY_STORED ? 12 : 8;
    for (std::size_t i = 0; i < checked; ++i) mustFail[fields + i] = true;
    mustFail[record + entry.name.size()] = true;  // the terminator
    record += entry.name.size() + 14;
  }
  const int values[] = {0x00, 0x01, 0x03, 0x20, 0x2F, 0x41, 0x5C, 0x7F, 0x80, 0xFF};
  for (std::size_t position = 0; position < original.dataOffset; ++position) {
    for (int value : values) {
      for (const bool flip : {false, true}) {
        std::string corrupt = archive;
        const int replaced = flip ? (static_cast<unsigned char>(archive[position]) ^ value) : value;
        if (static_cast<char>(replaced) == archive[position]) continue;
        corrupt[position] = static_cast<char>(replaced);
        ArchiveDirectory directory;
        const Status status = parse(corrupt, directory);
        if (status) {
          EXPECT_FALSE(mustFail[position]) << "byte " << position << " = " << replaced;
          expectConsistent(directory);
        } else {
          EXPECT_FALSE(statusText(status).empty());
        }
      }
    }
  }
}

TEST(ArchiveReaderTest, HostileCountsAndSizesAreRefusedWithoutBigAllocations) {
  // Largest count and offset on a tiny file.
  EXPECT_NE(parseError(std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6)).find("cannot hold 65535"),
            std::string::npos);
  std::string bigOffset = std::string("\xFF\xFF\x00\x10\x00\x00", 6) + std::string(64, 'a');
  EXPECT_NE(parseError(bigOffset).find("past the end of the file"), std::string::npos)
      << parseError(bigOffset);
  // Largest sizes and offsets in a record.
  std::string archive = buildArchiveBytes({storedEntry("a", "12")});
  for (std::size_t field : {9u, 13u, 17u}) {
    std::string hostile = archive;
    for (std::size_t i = 0; i < 4; ++i) hostile[field + i] = '\xFF';
    EXPECT_FALSE(parseError(hostile).empty()) << field;
  }
  // A coded entry may claim any source size; its stored size must still fit the file.
  std::string coded = buildArchiveBytes({{"p.bmp", 2, "abc", 0xFFFFFFFFu}});
  EXPECT_EQ(parseError(coded), "");
}

TEST(ArchiveReaderTest, ReadsEntriesFromAFile) {
  test::TempDir dir;
  const auto path = dir / "a.kup";
  test::writeFile(path, buildArchiveBytes(test::sampleEntries()));
  ArchiveReader reader;
  ASSERT_TRUE(reader.open(path.string()));
  ASSERT_EQ(reader.entries().size(), 4u);
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(reader.readEntry(reader.entries()[0], bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "hello\n");
  ASSERT_TRUE(reader.readEntry(reader.entries()[2], bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), test::SPB_2X1);
  std::uint8_t two[2];
  ASSERT_TRUE(reader.readEntryBytes(reader.entries()[0], 4, two));
  EXPECT_EQ(std::string(two, two + 2), "o\n");
  EXPECT_FALSE(reader.readEntryBytes(reader.entries()[0], 5, two));
  ASSERT_TRUE(reader.readEntry(reader.entries()[3], bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(ArchiveReaderTest, OpenRefusesMissingFilesFoldersAndHostileHeaders) {
  test::TempDir dir;
  ArchiveReader reader;
  Status status = reader.open((dir / "none.kup").string());
  EXPECT_NE(statusText(status).find("none.kup: cannot open"), std::string::npos)
      << statusText(status);
  status = reader.open(dir.path().string());
  EXPECT_NE(statusText(status).find("is a folder"), std::string::npos);
  test::writeFile(dir / "max.kup", std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6) + "abc");
  status = reader.open((dir / "max.kup").string());
  EXPECT_FALSE(status);
  EXPECT_NE(statusText(status).find("max.kup: "), std::string::npos);
  test::writeFile(dir / "empty.kup", std::string());
  EXPECT_NE(statusText(reader.open((dir / "empty.kup").string())).find("too short"),
            std::string::npos);
}

}  // namespace
}  // namespace kupack
