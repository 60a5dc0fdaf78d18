// Helpers shared by the tests: temporary folders, whole files, and whole runs of the
// kupack program with a given standard input, catching its output and exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kupack::test {

// A fresh, empty folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // `name` is UTF-8 text (see u8path).
  std::filesystem::path operator/(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Paths and names between the tests, std::filesystem and the platform layer. Native
// bytes are the platform layer's: UTF-8 (on Windows std::filesystem takes narrow strings in
// the ANSI code page, so they go through here).

// A path from UTF-8 text: the same file on every platform.
std::filesystem::path u8path(const std::string& utf8);

// A path from native bytes, and the native bytes of a path.
std::filesystem::path pathFromNative(const std::string& native);
std::string nativeOf(const std::filesystem::path& path);

// UTF-8 text as native bytes; nativeCanName tells whether the system can name it at all
// (always on Windows, where native names are UTF-8 whatever the ANSI code page).
std::string nativeName(const std::string& utf8);
bool nativeCanName(const std::string& utf8);

// `path` with each '/' replaced by the platform's folder separator.
std::string withNativeSeparators(std::string path);

// Makes `link` a link to the folder `target`; false where the system or its rights do not
// allow the test to make one (the caller skips).
bool makeFolderLink(const std::filesystem::path& target, const std::filesystem::path& link);
bool makeFileLink(const std::filesystem::path& target, const std::filesystem::path& link);

// Writes `bytes` to `path`, creating the folders on the way.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::string readFile(const std::filesystem::path& path);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);

// Names in `folder` (not below it) ending in `suffix`, sorted: what a run may have left
// behind, e.g. its ARCHIVE.XXXXXXXX.part.
std::vector<std::string> namesEndingIn(const std::filesystem::path& folder,
                                       const std::string& suffix);

struct RunResult {
  int exitCode = -1;
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error
};

// The locale of the runs that show the program's Japanese texts (POSIX; it need not be
// installed, the program goes by the name). On Windows the code page decides instead.
inline constexpr char JAPANESE[] = "ja_JP.UTF-8";

// Runs the kupack program built beside the tests with `args`, in `workingDir`, feeding
// `input` as standard input (empty: an empty input, not a terminal). The locale is set
// to `locale` ("C": English, ASCII; JAPANESE: Japanese, UTF-8; "C.UTF-8": English, UTF-8).
// On Windows `locale` has no effect (the ANSI code page decides), the line ends that
// the runtime's text mode writes as "\r\n" are given back as "\n", and a run still going
// after two minutes (a dialog nobody can answer) is ended with exit code -1.
RunResult runKupack(const std::vector<std::string>& args, const std::filesystem::path& workingDir,
                    const std::string& input = {}, const std::string& locale = "C");

// Runs any command (program and arguments) the same way.
RunResult runCommand(const std::vector<std::string>& argv, const std::filesystem::path& workingDir,
                     const std::string& input = {}, const std::string& locale = "C");

// True where kupack asks for the folder and the archive name on standard input (POSIX);
// false where it shows the system's real dialogs (Windows), which a test cannot answer.
bool dialogsReadStandardInput();

// True when `part` occurs in `text`.
inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Converts UTF-8 text to code page 932 bytes with the system's converter (for expected
// console lines written readably in the tests).
std::string sjis(const std::string& utf8);

// The program's console bytes for the UTF-8 text `utf8` in a run with `locale`: UTF-8 where
// a POSIX locale's character set is UTF-8, escaped ASCII otherwise; on Windows code page 932
// where that is the ANSI code page, UTF-8 otherwise.
std::string consoleBytes(const std::string& utf8, const std::string& locale);

// Whether a run with JAPANESE shows the Japanese texts: always on POSIX; on Windows only
// where the code page is 932 (elsewhere the program speaks English).
bool japaneseShown();

// Whether a run with the default locale ("C") shows the English texts: always on POSIX; on
// Windows where the code page is not 932.
bool englishShown();

// The console bytes of the Japanese text `utf8` in a run with JAPANESE.
inline std::string said(const std::string& utf8) { return consoleBytes(utf8, JAPANESE); }

// While alive, this process's texts (tr()) are the Japanese ones, as a Japanese run's are.
class JapaneseTexts {
 public:
  JapaneseTexts();
  ~JapaneseTexts();
  JapaneseTexts(const JapaneseTexts&) = delete;
  JapaneseTexts& operator=(const JapaneseTexts&) = delete;
};

}  // namespace kupack::test

// Skips the current test where a run shows English instead of the Japanese texts it checks.
#define KUPACK_SKIP_UNLESS_JAPANESE_SHOWN()                                       \
  do {                                                                            \
    if (!::kupack::test::japaneseShown())                                         \
      GTEST_SKIP() << "checks the Japanese texts, which need code page 932 here"; \
  } while (false)

// Skips the current test where a run (in the default locale) shows Japanese instead of the
// English texts it checks: on a Windows of code page 932, where the suite of code page 1252
// runs it instead.
#define KUPACK_SKIP_UNLESS_ENGLISH_SHOWN()                                                \
  do {                                                                                  \
    if (!::kupack::test::englishShown())                                                \
      GTEST_SKIP() << "checks the English texts, which code page 932 shows in Japanese"; \
  } while (false)

// Skips the current test where the folder chooser and save dialog are real windows.
#define KUPACK_SKIP_UNLESS_DIALOGS_READ_STANDARD_INPUT()                                \
  do {                                                                                  \
    if (!::kupack::test::dialogsReadStandardInput())                                    \
      GTEST_SKIP() << "needs answers to the folder chooser and save dialog, which are " \
                      "real windows on this platform";                                  \
  } while (false)
