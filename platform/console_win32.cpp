// The console on Windows: code page 932 text shown through the console's Unicode output
// when it is set to another code page, and the command line's own UTF-16 words.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/internal_win32.h"
// After windows.h (through internal_win32.h): the command line's own UTF-16 words and the
// runtime's console and descriptor calls.
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace kupack::platform {

namespace {

// The code page that decides the language: the console's where standard output is one,
// the ANSI code page where it is a file or a pipe.
unsigned outputCodePage() {
  static const unsigned codePage = [] {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return GetConsoleOutputCP();
    return GetACP();
  }();
  return codePage;
}

// Console text (valid UTF-8) as code page 932 bytes, each character without a code page 932
// form escaped as \u{XXXX}.
std::string cp932ConsoleBytes(const std::string& text) {
  const std::wstring wide = win32::toWide(text, CP_UTF8, false).value_or(std::wstring());
  if (auto whole = win32::fromWide(wide, win32::CODE_PAGE_932, true)) return *whole;
  std::string bytes;
  for (std::size_t pos = 0; pos < wide.size();) {
    const bool pair = pos + 1 < wide.size() && wide[pos] >= 0xD800 && wide[pos] <= 0xDBFF &&
                      wide[pos + 1] >= 0xDC00 && wide[pos + 1] <= 0xDFFF;
    const std::wstring_view piece(wide.data() + pos, pair ? 2 : 1);
    if (auto converted = win32::fromWide(piece, win32::CODE_PAGE_932, true)) {
      bytes += *converted;
    } else {
      const unsigned code = pair ? 0x10000u + ((piece[0] - 0xD800u) << 10) + (piece[1] - 0xDC00u)
                                 : static_cast<unsigned>(piece[0]);
      bytes += unicodeEscape(code);
    }
    pos += piece.size();
  }
  return bytes;
}

void writeConsoleTo(DWORD handleName, std::FILE* stream, std::string_view text) {
  // A console of another code page than 932 shows the text through its characters (UTF-16);
  // code page 932 gets its bytes, output to a file or a pipe of another code page UTF-8.
  const std::string shown = escapedConsoleText(text, false);
  const HANDLE output = GetStdHandle(handleName);
  DWORD mode = 0;
  if (!shown.empty() && GetConsoleMode(output, &mode) &&
      GetConsoleOutputCP() != win32::CODE_PAGE_932) {
    const std::optional<std::wstring> wide = win32::toWide(shown, CP_UTF8, false);
    if (wide && wide->size() <= MAXDWORD) {
      std::fflush(stream);
      DWORD written = 0;
      WriteConsoleW(output, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
      return;
    }
  }
  const std::string bytes =
      consoleLocale().charset == ConsoleCharset::Cp932 ? cp932ConsoleBytes(shown) : shown;
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

void writeConsole(std::string_view text) { writeConsoleTo(STD_OUTPUT_HANDLE, stdout, text); }

void writeConsoleError(std::string_view text) { writeConsoleTo(STD_ERROR_HANDLE, stderr, text); }

ConsoleLocale consoleLocale() {
  ConsoleLocale locale;
  if (outputCodePage() == win32::CODE_PAGE_932) {
    locale.charset = ConsoleCharset::Cp932;
    locale.languages.push_back("ja");
  } else {
    locale.charset = ConsoleCharset::Unicode;
  }
  return locale;
}

bool outputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void prepareOutputForBytes() { _setmode(_fileno(stdout), _O_BINARY); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  // The runtime's argv holds the ANSI code page's look-alikes of names it cannot express; the
  // system's own UTF-16 command line holds the names themselves.
  int count = 0;
  LPWSTR* const words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  bool whole = words != nullptr && count == argc;
  for (int i = 0; whole && i < count; ++i) {
    std::optional<std::string> argument = win32::nativeFromSystem(words[i]);
    if (!argument) {
      whole = false;
      break;
    }
    arguments.push_back(std::move(*argument));
  }
  if (words != nullptr) LocalFree(words);
  if (whole) return arguments;
  return std::vector<std::string>(argv, argv + argc);
}

bool isTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void readOneKey(std::FILE* stream) {
  if (isTerminal(stream)) {
    static_cast<void>(_getch());
  } else {
    static_cast<void>(std::fgetc(stream));
  }
}

}  // namespace kupack::platform
