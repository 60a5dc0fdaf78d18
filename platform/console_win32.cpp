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

void writeConsoleTo(DWORD handleName, std::FILE* stream, std::string_view cp932) {
  // A console set to another code page shows the text through its characters; output that
  // goes to a file or a pipe gets the code page 932 bytes as they are.
  const HANDLE output = GetStdHandle(handleName);
  DWORD mode = 0;
  if (!cp932.empty() && GetConsoleMode(output, &mode) &&
      GetConsoleOutputCP() != win32::CODE_PAGE_932) {
    const std::optional<std::wstring> wide = win32::toWide(cp932, win32::CODE_PAGE_932, false);
    if (wide && wide->size() <= MAXDWORD) {
      std::fflush(stream);
      DWORD written = 0;
      WriteConsoleW(output, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
      return;
    }
  }
  std::fwrite(cp932.data(), 1, cp932.size(), stream);
  std::fflush(stream);
}

}  // namespace

void writeConsole(std::string_view cp932) { writeConsoleTo(STD_OUTPUT_HANDLE, stdout, cp932); }

void writeConsoleError(std::string_view cp932) { writeConsoleTo(STD_ERROR_HANDLE, stderr, cp932); }

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
