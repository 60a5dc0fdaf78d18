#include "common/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/status.h"

namespace kupack {
namespace {

std::function<void(std::string_view)>& captureSink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

struct ConsoleSettings {
  bool quiet = false;
  bool progress = true;
};

// The errno of the first write to standard output that failed, 0 while none has.
int& outputError() {
  static int error = 0;
  return error;
}

void noteOutputFailure(int error) {
  if (outputError() == 0) outputError() = error != 0 ? error : EIO;
}

// Notes a failure of standard output since it was last looked at (the stream's error flag
// stays set, so a failure is never missed).
void checkOutput() {
  if (std::ferror(stdout)) noteOutputFailure(errno);
}

// Bytes as they stand, flushed: the writer until the program sets the terminal's own.
void writeUnconverted(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}
void writeOutputUnconverted(std::string_view text) { writeUnconverted(stdout, text); }
void writeErrorUnconverted(std::string_view text) { writeUnconverted(stderr, text); }

struct ConsoleWriters {
  ConsoleWriter output = writeOutputUnconverted;
  ConsoleWriter errors = writeErrorUnconverted;
};

ConsoleWriters& writers() {
  static ConsoleWriters current;
  return current;
}

ConsoleSettings& settings() {
  static ConsoleSettings current;
  return current;
}

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small)
    return std::string(small, static_cast<size_t>(needed));
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

}  // namespace

std::string withoutControlBytes(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

void consoleWrite(std::string_view text) {
  if (settings().quiet) return;
  if (captureSink()) {
    captureSink()(text);
    return;
  }
  errno = 0;
  writers().output(text);
  checkOutput();
}

void consoleOutputBytes(std::string_view bytes) {
  if (settings().quiet) return;
  if (captureSink()) {
    captureSink()(bytes);
    return;
  }
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    noteOutputFailure(errno);
  }
}

int finishConsoleOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0) noteOutputFailure(errno);
  checkOutput();
  return outputError();
}

void consoleError(std::string_view text) {
  if (captureSink()) {
    captureSink()(text);
    return;
  }
  writers().errors(text);
}

void consoleProgress(std::string_view text) {
  if (settings().progress) consoleWrite(text);
}

void setConsoleWriters(ConsoleWriter output, ConsoleWriter errors) {
  writers().output = output != nullptr ? output : writeOutputUnconverted;
  writers().errors = errors != nullptr ? errors : writeErrorUnconverted;
}

void setConsoleQuiet(bool quiet) { settings().quiet = quiet; }

void setConsoleProgress(bool shown) { settings().progress = shown; }

void consoleErrorPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatV(format, args);
  va_end(args);
  consoleError(text);
}

void consolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatV(format, args);
  va_end(args);
  consoleWrite(text);
}

std::string formatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatV(format, args);
  va_end(args);
  return text;
}

ConsoleCapture::ConsoleCapture(std::function<void(std::string_view)> sink)
    : previous_(std::move(captureSink())) {
  captureSink() = std::move(sink);
}

ConsoleCapture::~ConsoleCapture() { captureSink() = std::move(previous_); }

}  // namespace kupack
