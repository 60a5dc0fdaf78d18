// The console as the system gives it: writing code page 932 text the way the terminal
// expects it, whether standard streams are terminals, one key read raw, and the program's
// arguments as native strings. What the program says is decided above this layer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kupack::platform {

// Writes code page 932 console text to standard output, as the terminal expects it
// (on POSIX converted to UTF-8 when the locale's character set is UTF-8; bytes that do
// not convert are written as they are), and flushes.
void writeConsole(std::string_view cp932);

// Writes code page 932 console text to standard error, the same way (on Windows a console
// shows it as it shows standard output).
void writeConsoleError(std::string_view cp932);

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
