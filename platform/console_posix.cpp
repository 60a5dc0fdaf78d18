// The console on POSIX systems: console text (UTF-8) written as UTF-8 where the user's
// locale is UTF-8 and as escaped ASCII elsewhere, the language the user asks for, and one key
// read from a terminal in raw mode.

#include <langinfo.h>
#include <locale.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/internal_posix.h"
#include "platform/text.h"

namespace kupack::platform {

namespace {

// ---- The terminal -------------------------------------------------------------------

bool namesUtf8(const char* name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

// Whether the user's locale writes UTF-8. The locale is read on its own, not made the
// process's: character classes and case of the code page 932 bytes must not change.
bool consoleIsUtf8() {
  static const bool utf8 = [] {
    const locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (user != static_cast<locale_t>(0)) {
      const bool result = namesUtf8(nl_langinfo_l(CODESET, user));
      freelocale(user);
      return result;
    }
    // The locale that the environment names is not installed here; its name still
    // tells what the terminal expects.
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(variable);
      if (value != nullptr && *value != '\0') return namesUtf8(value);
    }
    return false;
  }();
  return utf8;
}

void writeConsoleTo(std::FILE* stream, std::string_view text) {
  if (isAscii(text)) {
    std::fwrite(text.data(), 1, text.size(), stream);
  } else {
    const std::string shown = escapedConsoleText(text, !consoleIsUtf8());
    std::fwrite(shown.data(), 1, shown.size(), stream);
  }
  std::fflush(stream);
}

// The value of the environment variable `name`, empty when it is unset.
std::string_view environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool isCLocale(std::string_view name) {
  return name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.");
}

// Puts the terminal behind `descriptor` into raw mode while alive: one key, not echoed,
// Ctrl-C and Ctrl-S included, is read as it is typed.
class RawTerminal {
 public:
  explicit RawTerminal(int descriptor) : descriptor_(descriptor) {
    active_ = tcgetattr(descriptor_, &saved_) == 0;
    if (!active_) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(descriptor_, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(descriptor_, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int descriptor_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

void writeConsole(std::string_view text) { writeConsoleTo(stdout, text); }

void writeConsoleError(std::string_view text) { writeConsoleTo(stderr, text); }

ConsoleLocale consoleLocale() {
  ConsoleLocale locale;
  locale.charset = consoleIsUtf8() ? ConsoleCharset::Unicode : ConsoleCharset::Ascii;
  std::string_view messages;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    messages = environmentValue(variable);
    if (!messages.empty()) break;
  }
  if (isCLocale(messages)) return locale;
  // LANGUAGE lists languages in order of preference, separated by colons.
  const std::string_view list = environmentValue("LANGUAGE");
  for (std::size_t pos = 0; pos < list.size();) {
    const std::size_t end = std::min(list.find(':', pos), list.size());
    if (end > pos) locale.languages.emplace_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  locale.languages.emplace_back(messages);
  return locale;
}

bool outputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void prepareOutputForBytes() { std::signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool isTerminal(std::FILE* stream) {
  const int descriptor = fileno(stream);
  return descriptor >= 0 && isatty(descriptor) == 1;
}

void readOneKey(std::FILE* stream) {
  const int descriptor = fileno(stream);
  if (descriptor < 0) return;
  const RawTerminal raw(descriptor);
  unsigned char key = 0;
  while (::read(descriptor, &key, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace kupack::platform
