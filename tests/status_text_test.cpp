// The words of every failure: each reason, with a file, an entry and numbers, gives one line
// naming where and what, every placeholder filled; and every text of the table has its
// Japanese in po/ja.po.
#include "app/status_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/test_support.h"

namespace kupack {
namespace {

using Reason = Status::Reason;
using test::contains;

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The C string literals following each `marker` in `source`, adjacent pieces joined and
// escapes (\" \\ \n) undone: the msgids a table gives tr().
std::set<std::string> literalsAfter(const std::string& source, const std::string& marker) {
  std::set<std::string> found;
  for (std::size_t at = source.find(marker); at != std::string::npos;
       at = source.find(marker, at + 1)) {
    std::size_t i = at + marker.size();
    while (i < source.size() && (source[i] == ' ' || source[i] == '\n')) ++i;
    std::string text;
    while (i < source.size() && source[i] == '"') {
      for (++i; i < source.size() && source[i] != '"'; ++i) {
        if (source[i] == '\\' && i + 1 < source.size()) {
          ++i;
          text += source[i] == 'n' ? '\n' : source[i];
        } else {
          text += source[i];
        }
      }
      ++i;  // the closing quote
      while (i < source.size() && (source[i] == ' ' || source[i] == '\n')) ++i;
    }
    if (!text.empty()) found.insert(text);  // a call such as substr(), not a text
  }
  return found;
}

// The msgids of a PO file whose msgstr is not empty (single-line entries).
std::set<std::string> translatedIds(const std::string& po) {
  std::set<std::string> ids;
  const std::set<std::string> all = literalsAfter(po, "\nmsgid ");
  for (const std::string& id : all) {
    std::string quoted;
    for (char c : id) {
      if (c == '\n') {
        quoted += "\\n";
      } else {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
      }
    }
    const std::size_t at = po.find("msgid \"" + quoted + "\"\nmsgstr \"");
    if (at == std::string::npos) continue;
    const std::size_t value = po.find("msgstr \"", at) + 8;
    if (po[value] != '"') ids.insert(id);
  }
  return ids;
}

TEST(StatusTextTest, EveryReasonNamesWhereAndWhat) {
  for (int r = 1; r <= static_cast<int>(LAST_STATUS_REASON); ++r) {
    const auto reason = static_cast<Reason>(r);
    const Status status = Status::corrupt(reason, {11, 22, 33, 44})
                              .inFile("dir/a.kup")
                              .atEntry("pic\\x.bmp")
                              .withOtherPath("other.bin");
    const std::string text = statusText(status);
    SCOPED_TRACE("reason " + std::to_string(r) + ": " + text);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line
    EXPECT_FALSE(contains(text, "{"));            // every placeholder filled
    // Where: the file or the entry (too many files: how many).
    EXPECT_TRUE(contains(text, "a.kup") || contains(text, "pic\\x.bmp") ||
                (reason == Reason::PackTooManyFiles && contains(text, "11")));
    EXPECT_FALSE(statusCause(status).empty());
  }
}

TEST(StatusTextTest, SystemReasonAndNumbersAreShown) {
  const Status missing = Status::fault(Status::Code::CannotOpen, Reason::ArchiveUnopenable)
                             .inFile("none.kup")
                             .withErrorNumber(ENOENT);
  EXPECT_EQ(statusText(missing), "none.kup: cannot open (No such file or directory)\n");
  const Status entry =
      Status::corrupt(Reason::OffsetMismatch, {3, 2}).inFile("t.kup").atEntry(1, "b");
  EXPECT_EQ(statusText(entry),
            "t.kup: entry 2 (b): offset 3, but the entries before it take 2 bytes of data\n");
  const Status refusal = Status::refused(Reason::NameWindowsCharacter, {'?'}).withOtherPath("a?b");
  EXPECT_EQ(statusCause(refusal), "\"a?b\" holds '?', which Windows allows in no name");
  EXPECT_EQ(statusText(Status::refused(Reason::FolderNotPackable)
                           .inFile("/nonexistent")
                           .withErrorNumber(ENOENT)),
            "/nonexistent: no folder to pack (No such file or directory)\n");
}

TEST(StatusTextTest, EveryTextHasItsJapanese) {
  const std::filesystem::path source(KUPACK_SOURCE_DIR);
  const std::set<std::string> used =
      literalsAfter(readText(source / "app" / "status_text.cpp"), "tr(");
  const std::set<std::string> translated = translatedIds(readText(source / "po" / "ja.po"));
  ASSERT_GT(used.size(), 50u);
  for (const std::string& text : used) EXPECT_EQ(translated.count(text), 1u) << text;
}

}  // namespace
}  // namespace kupack
