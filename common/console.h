// Console output: every text kupack shows goes through here as UTF-8 text, the run's
// regular output to standard output and diagnostics to standard error. The writers the
// program sets convert it once for the terminal (UTF-8, code page 932 or ASCII, what cannot
// be shown escaped); tests can catch the text of both instead with a ConsoleCapture.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define KUPACK_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KUPACK_PRINTF_FORMAT(f, a)
#endif

namespace kupack {

// Writes console text as regular output (nothing while quiet).
void consoleWrite(std::string_view text);

// Writes regular output that is no console text (JSON) unconverted (nothing while quiet).
void consoleOutputBytes(std::string_view bytes);

// Writes a diagnostic (a failure, a refusal) as it stands; never silenced.
void consoleError(std::string_view text);

// Writes a progress figure (text that a carriage return overwrites), only while progress
// figures are shown and the output is not quiet.
void consoleProgress(std::string_view text);

// Sends whatever standard output still holds on its way and tells whether every write to it
// succeeded: 0, or the errno of the first failure (a full disk, a closed pipe, /dev/full).
// Writes that fail are otherwise silent, so a command that writes to standard output asks
// this before it reports success.
int finishConsoleOutput();

// Where console text goes when nothing captures it: `output` for regular output and progress,
// `errors` for diagnostics, each given console text (UTF-8) to write and flush. The program
// sets the terminal's writers (platform::writeConsole, platform::writeConsoleError) as it
// starts; until then, and for nullptr, the bytes are written to standard output and standard
// error as they stand.
using ConsoleWriter = void (*)(std::string_view text);
void setConsoleWriters(ConsoleWriter output, ConsoleWriter errors);

// Regular output off (the -q of the program); on by default.
void setConsoleQuiet(bool quiet);

// Progress figures on or off; on by default. The program shows them only on a terminal.
void setConsoleProgress(bool shown);

// printf-style formatting of a console text template and its arguments.
void consolePrint(const char* format, ...) KUPACK_PRINTF_FORMAT(1, 2);

// consolePrint for diagnostics.
void consoleErrorPrint(const char* format, ...) KUPACK_PRINTF_FORMAT(1, 2);

// printf-style formatting into a string, for messages that are passed up before printing.
std::string formatText(const char* format, ...) KUPACK_PRINTF_FORMAT(1, 2);

// `text` with each control byte (a hostile name may carry terminal escapes) shown as '?'.
std::string withoutControlBytes(std::string_view text);

// While alive, every console text (output, diagnostics and progress as they are shown)
// goes to `sink` instead of the terminal.
class ConsoleCapture {
 public:
  explicit ConsoleCapture(std::function<void(std::string_view)> sink);
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

 private:
  std::function<void(std::string_view)> previous_;
};

}  // namespace kupack
