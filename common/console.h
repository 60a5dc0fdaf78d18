// Console output: every text kupack shows goes through here as code page 932 bytes.
// The platform layer decides how they reach the terminal (unchanged, or as UTF-8 on a
// UTF-8 POSIX locale); tests can catch the bytes instead with a ConsoleCapture.
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

// Writes code page 932 text as it stands.
void consoleWrite(std::string_view cp932);

// printf-style formatting of a code page 932 template (see messages.h) and its arguments.
void consolePrint(const char* format, ...) KUPACK_PRINTF_FORMAT(1, 2);

// printf-style formatting into a string, for messages that are passed up before printing.
std::string formatText(const char* format, ...) KUPACK_PRINTF_FORMAT(1, 2);

// While alive, every console text goes to `sink` instead of the terminal.
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
