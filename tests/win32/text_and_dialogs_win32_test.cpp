// The Windows layer's path arithmetic and name conversions under chosen code pages, and the
// parameter blocks that the folder chooser and the save dialog are given.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win32_dialogs.h"
#include "platform/win32_text.h"
#include "tests/test_support.h"

namespace kupack::platform::win32 {
namespace {

// The dialogs' texts as the program passes them (UTF-8, the Japanese ones).
constexpr char CHOOSER_TITLE[] =
    "アーカイブにするフォルダの選択\n\r（この実行ファイルが含まれるフォルダは選ばないこと）";
constexpr char SAVE_TITLE[] = "保存KUPファイル名を入力してください";
constexpr char SAVE_FILTER_NAME[] = "KUPファイル";

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

TEST(Win32NameTest, NativeNamesAreUtf8WhateverTheAnsiCodePage) {
  // The same conversions on every Windows: native UTF-8 to and from code page 932.
  const std::string name = test::sjis("背景\\表.bmp");
  const std::string utf8 = "背景\\表.bmp";
  EXPECT_EQ(nameToCp932(utf8, NATIVE_CODE_PAGE), name);
  EXPECT_EQ(cp932ToName(name, NATIVE_CODE_PAGE), utf8);
  EXPECT_EQ(nameToCp932("plain.txt", NATIVE_CODE_PAGE), "plain.txt");
  // No code page 932 form: refused, never a look-alike (the yen sign is no separator).
  EXPECT_FALSE(nameToCp932("caf\xC3\xA9", NATIVE_CODE_PAGE).has_value());
  EXPECT_FALSE(nameToCp932("a\xC2\xA5" "b", NATIVE_CODE_PAGE).has_value());
  EXPECT_FALSE(nameToCp932("\xFF\xFE", NATIVE_CODE_PAGE).has_value()) << "no UTF-8";
  EXPECT_EQ(convertForDisplay("caf\xC3\xA9 表", NATIVE_CODE_PAGE, CODE_PAGE_932),
            "caf? " + test::sjis("表"));
  EXPECT_EQ(nativeFromSystem(L"\u80CC\u666F"), "背景");
  EXPECT_FALSE(nativeFromSystem(std::wstring(1, static_cast<wchar_t>(0xD800))).has_value())
      << "a lone surrogate has no UTF-8 form";
  EXPECT_EQ(cp932ToWide(test::sjis("表")), L"\u8868");
}

std::wstring fakeFullPath(const std::wstring& path) {
  const bool absolute = path.size() > 1 && (path[1] == L':' || path[0] == L'\\');
  return absolute ? path : L"C:\\cwd\\" + path;
}

TEST(Win32PathTest, LongPathsGetTheExtendedLengthPrefix) {
  EXPECT_EQ(systemPath("C:\\short\\表.bmp", fakeFullPath), L"C:\\short\\\u8868.bmp");
  EXPECT_EQ(systemPath("", fakeFullPath), L"");
  EXPECT_FALSE(systemPath("C:\\\xFF", fakeFullPath).has_value());

  const std::string level(100, 'a');
  const std::string deep = "C:\\" + level + "\\" + level + "\\" + level;  // 305 characters
  const std::wstring wideLevel(100, L'a');
  const std::wstring wideDeep = L"C:\\" + wideLevel + L"\\" + wideLevel + L"\\" + wideLevel;
  EXPECT_EQ(systemPath(deep, fakeFullPath), L"\\\\?\\" + wideDeep);
  EXPECT_EQ(systemPath("\\\\srv\\share\\" + level + "\\" + level + "\\" + level, fakeFullPath),
            L"\\\\?\\UNC\\srv\\share\\" + wideLevel + L"\\" + wideLevel + L"\\" + wideLevel);
  EXPECT_EQ(systemPath(level + "\\" + level + "\\" + level, fakeFullPath),
            L"\\\\?\\C:\\cwd\\" + wideLevel + L"\\" + wideLevel + L"\\" + wideLevel)
      << "a relative path is made absolute first";
  // Already prefixed: as it is. The limit is that of a new folder (MAX_PATH - 12).
  EXPECT_EQ(systemPath("\\\\?\\" + deep, fakeFullPath), L"\\\\?\\" + wideDeep);
  EXPECT_EQ(systemPath("C:\\" + std::string(244, 'b'), fakeFullPath)->size(), 247u);
  EXPECT_EQ(systemPath("C:\\" + std::string(245, 'b'), fakeFullPath)->size(), 252u);
}

TEST(Win32ConsoleTest, OnlyTheConsolesOnlyProcessKeepsItsWindowOpen) {
  struct Case {
    std::uint32_t processes;
    bool inputIsConsole;
    bool closes;
  };
  // 0: no console (or the call failed); 1: started by Explorer; more: a console or a script.
  // Input from a file or a pipe: nobody to press a key.
  const Case cases[] = {{0, true, false}, {1, true, true},   {2, true, false},
                        {3, true, false}, {1, false, false}, {0, false, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(consoleClosesWithProcess(c.processes, c.inputIsConsole), c.closes)
        << c.processes << " processes, input from the console: " << c.inputIsConsole;
  }
}

TEST(Win32DialogTest, FolderChooserParameters) {
  FolderChooserSetup setup(CHOOSER_TITLE);
  const BROWSEINFOW& params = setup.params();
  EXPECT_EQ(params.hwndOwner, nullptr);
  EXPECT_EQ(params.pidlRoot, nullptr) << "the whole namespace, from the desktop";
  EXPECT_EQ(params.pszDisplayName, setup.folderBuffer().data());
  EXPECT_EQ(setup.folderBuffer().size(), 260u);
  ASSERT_NE(params.lpszTitle, nullptr);
  const std::wstring title(params.lpszTitle);
  EXPECT_EQ(title, cp932ToWide(test::sjis(CHOOSER_TITLE)));
  EXPECT_EQ(title.substr(0, 5), L"\u30A2\u30FC\u30AB\u30A4\u30D6") << "アーカイブ";
  EXPECT_NE(title.find(L"\n\r"), std::wstring::npos) << "line feed, then carriage return";
  EXPECT_EQ(params.ulFlags, 1u) << "BIF_RETURNONLYFSDIRS only";
  EXPECT_EQ(params.lpfn, nullptr);
  EXPECT_EQ(params.lParam, 0);
}

TEST(Win32DialogTest, SaveDialogParameters) {
  SaveDialogSetup setup(SAVE_TITLE, SAVE_FILTER_NAME, "arc.kup");
  const OPENFILENAMEW& params = setup.params();
  // The layout without the three fields appended later: 76 bytes in a 32-bit program.
  const std::size_t earlierLayout = offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(void*);
  EXPECT_EQ(params.lStructSize, earlierLayout);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(params.lStructSize, 76u);
  }
  EXPECT_LT(params.lStructSize, sizeof(OPENFILENAMEW));
  EXPECT_EQ(params.hwndOwner, nullptr);
  EXPECT_EQ(params.hInstance, nullptr);

  // "KUPファイル", NUL, "*.kup", NUL, and the NUL of the empty string closing the list.
  const wchar_t filterText[] = L"KUP\u30D5\u30A1\u30A4\u30EB\0*.kup\0";  // + implicit NUL
  const std::wstring filter(filterText, sizeof filterText / sizeof(wchar_t));
  ASSERT_NE(params.lpstrFilter, nullptr);
  EXPECT_EQ(std::wstring(params.lpstrFilter, filter.size()), filter);
  EXPECT_EQ(saveDialogFilter(SAVE_FILTER_NAME), filter);
  EXPECT_EQ(params.lpstrCustomFilter, nullptr);
  EXPECT_EQ(params.nMaxCustFilter, 0u);
  EXPECT_EQ(params.nFilterIndex, 0u);

  EXPECT_EQ(params.lpstrFile, setup.nameBuffer().data());
  EXPECT_EQ(params.nMaxFile, 256u);
  std::wstring preset(256, L'\0');
  preset.replace(0, 7, L"arc.kup");
  EXPECT_EQ(std::wstring(setup.nameBuffer().data(), 256), preset);
  EXPECT_EQ(setup.chosenName(), "arc.kup");
  EXPECT_EQ(params.lpstrFileTitle, nullptr);
  EXPECT_EQ(params.nMaxFileTitle, 0u);
  EXPECT_EQ(params.lpstrInitialDir, nullptr);
  ASSERT_NE(params.lpstrTitle, nullptr);
  EXPECT_EQ(std::wstring(params.lpstrTitle), cp932ToWide(test::sjis(SAVE_TITLE)));
  EXPECT_EQ(params.Flags, 6u) << "OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY";
  ASSERT_NE(params.lpstrDefExt, nullptr);
  EXPECT_EQ(std::wstring(params.lpstrDefExt), L"kup");
  EXPECT_EQ(params.lCustData, 0);
  EXPECT_EQ(params.lpfnHook, nullptr);
  EXPECT_EQ(params.lpTemplateName, nullptr);
}

TEST(Win32DialogTest, JapanesePresetAndChosenNamesWhateverTheCodePage) {
  // What the user picks in the dialog comes back as the native name of that very file.
  SaveDialogSetup setup(SAVE_TITLE, SAVE_FILTER_NAME, "C:\\背景\\表.kup");
  EXPECT_EQ(std::wstring(setup.nameBuffer().data()), L"C:\\\u80CC\u666F\\\u8868.kup");
  EXPECT_EQ(setup.chosenName(), "C:\\背景\\表.kup");
}

TEST(Win32DialogTest, LongPresetIsCutWithoutSplittingACharacter) {
  // U+20B9F takes two UTF-16 units: 254 letters and it make 256, one too many.
  const std::string preset = std::string(254, 'a') + "\xF0\xA0\xAE\x9F";
  SaveDialogSetup setup(SAVE_TITLE, SAVE_FILTER_NAME, preset);
  EXPECT_EQ(setup.chosenName(), std::string(254, 'a'));
  EXPECT_EQ(setup.nameBuffer().back(), L'\0');
  SaveDialogSetup fits(SAVE_TITLE, SAVE_FILTER_NAME, std::string(253, 'a') + "\xF0\xA0\xAE\x9F");
  EXPECT_EQ(fits.chosenName(), std::string(253, 'a') + "\xF0\xA0\xAE\x9F");
}

}  // namespace
}  // namespace kupack::platform::win32
