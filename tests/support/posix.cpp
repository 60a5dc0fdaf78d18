// The POSIX side of the test helpers: whole runs of kupack and other programs through the shell,
// and code page 932 text through iconv.
#include <iconv.h>
#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>

#include "common/console.h"
#include "platform/console.h"
#include "tests/test_support.h"

namespace kupack::test {
namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& text) {
  std::string quoted("'");
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace

RunResult runKupack(const std::vector<std::string>& args, const fs::path& workingDir,
                    const std::string& input, const std::string& locale) {
  std::vector<std::string> argv{KUPACK_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv, workingDir, input, locale);
}

RunResult runCommand(const std::vector<std::string>& argv, const fs::path& workingDir,
                     const std::string& input, const std::string& locale) {
  TempDir io;
  writeFile(io / "in", input);
  std::string command("cd ");
  command += shellQuote(workingDir.string());
  command += " && LANG= LC_ALL=";
  command += shellQuote(locale);
  for (const auto& arg : argv) {
    command += " ";
    command += shellQuote(arg);
  }
  command += " <" + shellQuote((io / "in").string()) + " >" + shellQuote((io / "out").string()) +
             " 2>" + shellQuote((io / "err").string());
  const int status = std::system(command.c_str());
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readFile(io / "out");
  result.err = readFile(io / "err");
  return result;
}

bool dialogsReadStandardInput() { return true; }

fs::path pathFromNative(const std::string& native) { return fs::path(native); }

std::string nativeOf(const fs::path& path) { return path.string(); }

bool nativeCanName(const std::string& /*utf8*/) { return true; }

std::string consoleBytes(const std::string& utf8, const std::string& locale) {
  const bool utf8Locale =
      locale.find("UTF-8") != std::string::npos || locale.find("utf8") != std::string::npos;
  return utf8Locale ? utf8 : platform::escapedConsoleText(utf8, true);
}

bool japaneseShown() { return true; }

bool englishShown() { return true; }

std::string sjis(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 converter");
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::runtime_error("text has no CP932 form: " + utf8);
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace kupack::test
