// The console as the system gives it: writing console text (UTF-8) the way the terminal
// expects it, the user's language and character set, whether standard streams are terminals, one key read raw, and the program's
// arguments as native strings. What the program says is decided above this layer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kupack::platform {

// Writes console text (UTF-8) to standard output in the character set the user's console
// takes (see consoleLocale: UTF-8, code page 932 or ASCII; on Windows a console of another
// code page gets it as UTF-16), what it cannot show escaped readably (\xNN for a byte that
// is no UTF-8, \u{XXXX} for a character), and flushes.
void writeConsole(std::string_view text);

// Writes console text to standard error, the same way (on Windows a console shows it as it
// shows standard output).
void writeConsoleError(std::string_view text);

// What the user's console can show.
enum class ConsoleCharset {
  Ascii,    // a POSIX locale that is not UTF-8 (C, POSIX, none)
  Unicode,  // a UTF-8 locale; on Windows a console or output of a code page other than 932
  Cp932,    // Windows with code page 932 (the console's, or the ANSI code page without one)
};

// The user's language wishes and the console's character set, read from the environment
// alone (the locale need not be installed). POSIX: the languages as gettext orders them
// (LANGUAGE's list, taken only when the locale is not C or POSIX, then LC_ALL, LC_MESSAGES,
// LANG), the character set from LC_ALL, LC_CTYPE, LANG (or the installed locale's own).
// Windows: Japanese where the code page is 932, English otherwise.
struct ConsoleLocale {
  std::vector<std::string> languages;  // most wanted first: "ja_JP.UTF-8", "de"; empty: none
  ConsoleCharset charset = ConsoleCharset::Ascii;
};
ConsoleLocale consoleLocale();

// `text` (UTF-8 that may hold stray bytes, as names do) as a console can show it: each byte
// that is no part of a UTF-8 character as \xNN, and with `asciiOnly` each character beyond
// ASCII as \u{XXXX}. Everything else is kept.
std::string escapedConsoleText(std::string_view text, bool asciiOnly);

// A character as the escape escapedConsoleText writes for it: \u{XXXX}.
std::string unicodeEscape(char32_t code);

// True when standard output is a terminal (a console window on Windows), not a file or pipe.
bool outputIsTerminal();

// Makes standard output fit for raw file bytes: binary mode on Windows; on POSIX a reader
// that goes away makes writes fail with EPIPE instead of ending the process.
void prepareOutputForBytes();

// The program's arguments as native strings: `argv` itself on POSIX; on Windows the
// system's UTF-16 command line converted (the runtime's `argv` has look-alikes or '?' for
// every character the ANSI code page lacks), `argv` only when that cannot be had.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// True when `stream` is a terminal (a console window on Windows), not a file or pipe.
bool isTerminal(std::FILE* stream);

// Reads one key from the terminal behind `stream` as it is typed: not echoed, no Enter
// needed, Ctrl-C and Ctrl-S taken as keys (on POSIX the terminal's mode is restored before
// returning). For a stream that is no terminal it reads one byte.
void readOneKey(std::FILE* stream);

}  // namespace kupack::platform
