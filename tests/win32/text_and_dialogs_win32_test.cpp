// The Windows layer's path arithmetic and name conversions under chosen code pages, and the
// parameter blocks that the folder chooser and the save dialog are given.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "platform/win32_dialogs.h"
#include "platform/win32_text.h"
#include "tests/test_support.h"

namespace kupack::platform::win32 {
namespace {

constexpr unsigned CP1252 = 1252;
constexpr unsigned CP936 = 936;

TEST(Win32PathTest, AbsolutePathsAgainstABase) {
  struct Case {
    const char* path;
    const char* base;
    const char* expected;
  };
  const Case cases[] = {
      {"sub", "C:\\base", "C:\\base\\sub"},
      {"", "C:\\base", "C:\\base"},
      {".", "C:\\base\\", "C:\\base"},
      {"..\\x", "C:\\base\\y", "C:\\base\\x"},
      {"..\\..\\..\\..", "C:\\a", "C:\\"},
      {"C:\\a\\.\\b\\..\\c\\", "D:\\z", "C:\\a\\c"},
      {"x/y//z\\", "C:\\b", "C:\\b\\x\\y\\z"},
      {"\\top\\.", "D:\\base\\y", "D:\\top"},
      {"D:rel", "d:\\base", "d:\\base\\rel"},
      {"E:rel", "D:\\base", "E:\\rel"},
      {"C:", "C:\\b", "C:\\b"},
      {"C:\\", "D:\\b", "C:\\"},
      {"\\\\srv\\share\\a\\..\\b", "C:\\x", "\\\\srv\\share\\b"},
      {"sub\\..\\..", "\\\\srv\\share\\dir", "\\\\srv\\share\\"},
      {"\\other", "\\\\srv\\share\\dir", "\\\\srv\\share\\other"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(absolutePathIn(c.path, c.base, CODE_PAGE_932), c.expected)
        << c.path << " against " << c.base;
  }
}

TEST(Win32PathTest, DoubleByteCharactersEndingIn5CAreNoSeparators) {
  const std::string table = test::sjis("表");  // 0x95 0x5C
  ASSERT_EQ(table, "\x95\x5C");
  EXPECT_FALSE(endsWithSeparator("C:\\" + table, CODE_PAGE_932));
  EXPECT_TRUE(endsWithSeparator("C:\\" + table + "\\", CODE_PAGE_932));
  EXPECT_TRUE(endsWithSeparator("C:\\" + table, CP1252)) << "one byte per character there";
  EXPECT_FALSE(endsWithSeparator("", CODE_PAGE_932));

  EXPECT_EQ(absolutePathIn(table + "\\" + table, "C:\\b", CODE_PAGE_932),
            "C:\\b\\" + table + "\\" + table);
  EXPECT_EQ(absolutePathIn(table + "\\..", "C:\\b", CODE_PAGE_932), "C:\\b");
  EXPECT_EQ(withoutTrailingSeparators("C:\\" + table, CODE_PAGE_932), "C:\\" + table);
  EXPECT_EQ(withoutTrailingSeparators("C:\\" + table + "\\\\", CODE_PAGE_932), "C:\\" + table);
}

TEST(Win32PathTest, TrailingSeparatorsGoExceptARootsOwn) {
  EXPECT_EQ(withoutTrailingSeparators("C:\\", CODE_PAGE_932), "C:\\");
  EXPECT_EQ(withoutTrailingSeparators("C:\\a\\\\", CODE_PAGE_932), "C:\\a");
  EXPECT_EQ(withoutTrailingSeparators("\\\\srv\\share\\", CODE_PAGE_932), "\\\\srv\\share\\");
  EXPECT_EQ(withoutTrailingSeparators("\\\\srv\\share\\d\\", CODE_PAGE_932), "\\\\srv\\share\\d");
}

TEST(Win32NameTest, CodePage932NamesPassUnchanged) {
  const std::string name = test::sjis("背景\\表.bmp");
  EXPECT_EQ(nameToCp932(name, CODE_PAGE_932), name);
  EXPECT_EQ(cp932ToName(name, CODE_PAGE_932), name);
  EXPECT_EQ(nameToCp932("plain.txt", CODE_PAGE_932), "plain.txt");
}

TEST(Win32NameTest, RefusesWhatCannotNameAFile) {
  // '?' is what the ANSI listing puts for a character it cannot express.
  EXPECT_FALSE(nameToCp932("a?b.bmp", CODE_PAGE_932).has_value());
  EXPECT_FALSE(nameToCp932(std::string("a\0b", 3), CODE_PAGE_932).has_value());
  EXPECT_FALSE(cp932ToName(std::string("a\0b", 3), CODE_PAGE_932).has_value());
  EXPECT_FALSE(cp932ToName("\x81", CODE_PAGE_932).has_value()) << "a lone lead byte";
  EXPECT_FALSE(cp932ToName("a\x81", CODE_PAGE_932).has_value());
}

TEST(Win32NameTest, OtherAnsiCodePagesAreConverted) {
  EXPECT_EQ(nameToCp932("abc.bmp", CP1252), "abc.bmp");
  EXPECT_EQ(cp932ToName("abc.bmp", CP1252), "abc.bmp");
  // 中 in code page 936 (D6 D0) and in code page 932 (92 86).
  EXPECT_EQ(nameToCp932("\xD6\xD0.bmp", CP936), "\x92\x86.bmp");
  EXPECT_EQ(cp932ToName("\x92\x86.bmp", CP936), "\xD6\xD0.bmp");
  // Without a code page 932 form: refused, never replaced by a look-alike. The yen sign
  // must not become 0x5C, a folder separator.
  EXPECT_FALSE(nameToCp932("caf\xE9", CP1252).has_value());
  EXPECT_FALSE(nameToCp932("\xA5", CP1252).has_value());
  EXPECT_FALSE(cp932ToName(test::sjis("背景"), CP1252).has_value());
  EXPECT_EQ(convertForDisplay("caf\xE9", CP1252, CODE_PAGE_932), "caf?");
  EXPECT_EQ(convertForDisplay(test::sjis("背景"), CODE_PAGE_932, CODE_PAGE_932),
            test::sjis("背景"));
}

TEST(Win32DialogTest, FolderChooserParameters) {
  FolderChooserSetup setup(MSG_CHOOSER_TITLE);
  const BROWSEINFOA& params = setup.params();
  EXPECT_EQ(params.hwndOwner, nullptr);
  EXPECT_EQ(params.pidlRoot, nullptr) << "the whole namespace, from the desktop";
  EXPECT_EQ(params.pszDisplayName, setup.folderBuffer().data());
  EXPECT_EQ(setup.folderBuffer().size(), 260u);
  ASSERT_NE(params.lpszTitle, nullptr);
  EXPECT_STREQ(params.lpszTitle, MSG_CHOOSER_TITLE);
  EXPECT_NE(std::strstr(params.lpszTitle, "\n\r"), nullptr) << "line feed, then carriage return";
  EXPECT_EQ(params.ulFlags, 1u) << "BIF_RETURNONLYFSDIRS only";
  EXPECT_EQ(params.lpfn, nullptr);
  EXPECT_EQ(params.lParam, 0);
}

TEST(Win32DialogTest, SaveDialogParameters) {
  SaveDialogSetup setup(MSG_SAVE_TITLE, MSG_SAVE_FILTER_NAME, "arc.kup");
  const OPENFILENAMEA& params = setup.params();
  // The layout without the three fields appended later: 76 bytes in a 32-bit program.
  const std::size_t earlierLayout = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(void*);
  EXPECT_EQ(params.lStructSize, earlierLayout);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(params.lStructSize, 76u);
  }
  EXPECT_LT(params.lStructSize, sizeof(OPENFILENAMEA));
  EXPECT_EQ(params.hwndOwner, nullptr);
  EXPECT_EQ(params.hInstance, nullptr);

  // "KUPファイル", NUL, "*.kup", NUL, and the NUL of the empty string closing the list.
  const char filterBytes[] =
      "KUP\x83t\x83@\x83"
      "C\x83\x8b"
      "\0*.kup\0";  // + implicit NUL
  const std::string filter(filterBytes, sizeof filterBytes);
  ASSERT_NE(params.lpstrFilter, nullptr);
  EXPECT_EQ(std::string(params.lpstrFilter, filter.size()), filter);
  EXPECT_EQ(saveDialogFilter(MSG_SAVE_FILTER_NAME), filter);
  EXPECT_EQ(params.lpstrCustomFilter, nullptr);
  EXPECT_EQ(params.nMaxCustFilter, 0u);
  EXPECT_EQ(params.nFilterIndex, 0u);

  EXPECT_EQ(params.lpstrFile, setup.nameBuffer().data());
  EXPECT_EQ(params.nMaxFile, 256u);
  std::string preset(256, '\0');
  preset.replace(0, 7, "arc.kup");
  EXPECT_EQ(std::string(setup.nameBuffer().data(), 256), preset);
  EXPECT_EQ(setup.chosenName(), "arc.kup");
  EXPECT_EQ(params.lpstrFileTitle, nullptr);
  EXPECT_EQ(params.nMaxFileTitle, 0u);
  EXPECT_EQ(params.lpstrInitialDir, nullptr);
  ASSERT_NE(params.lpstrTitle, nullptr);
  EXPECT_STREQ(params.lpstrTitle, MSG_SAVE_TITLE);
  EXPECT_EQ(params.Flags, 6u) << "OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY";
  ASSERT_NE(params.lpstrDefExt, nullptr);
  EXPECT_STREQ(params.lpstrDefExt, "kup");
  EXPECT_EQ(params.lCustData, 0);
  EXPECT_EQ(params.lpfnHook, nullptr);
  EXPECT_EQ(params.lpTemplateName, nullptr);
}

TEST(Win32DialogTest, LongPresetIsCutWithoutSplittingACharacter) {
  const std::string table = test::sjis("表");
  const std::string preset = std::string(254, 'a') + table;  // 256 bytes: one too many
  SaveDialogSetup setup(MSG_SAVE_TITLE, MSG_SAVE_FILTER_NAME, preset);
  const std::string kept = setup.chosenName();
  if (ansiCodePage() == CODE_PAGE_932) {
    EXPECT_EQ(kept, std::string(254, 'a'));
  } else {
    EXPECT_EQ(kept, preset.substr(0, 255));
  }
  EXPECT_EQ(setup.nameBuffer().back(), '\0');
}

}  // namespace
}  // namespace kupack::platform::win32
