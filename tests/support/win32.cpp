// The Windows side of the test helpers: whole runs of kupack.exe (or another program) as a
// child process with its standard handles on files, and code page 932 text through the system's
// converter. Native strings are UTF-8, as in the platform layer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stdexcept>
#include <string>

#include "tests/test_support.h"

namespace kupack::test {
namespace fs = std::filesystem;

namespace {

// How long a run may take before it is taken for one waiting on a dialog.
constexpr DWORD RUN_TIMEOUT_MS = 120000;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// An inheritable handle on `path`, for a child's standard input or output.
HANDLE openInheritable(const fs::path& path, bool forWriting) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE handle = CreateFileW(
      path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
      &inherit, forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path.string());
  return handle;
}

// One argument quoted the way the runtime splits a command line back into arguments.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted("\"");
  std::size_t backslashes = 0;  // pending, written once it is known what follows them
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
      quoted += c;
      backslashes = 0;
    } else {
      quoted.append(backslashes, '\\');
      quoted += c;
      backslashes = 0;
    }
  }
  quoted.append(backslashes * 2, '\\');  // doubled before the closing quote
  quoted += '"';
  return quoted;
}

// kupack.exe beside the running test program (the build puts both in one folder).
fs::path kupackProgram() {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) throw std::runtime_error("cannot learn the test program's path");
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    self.resize(self.size() * 2);
  }
  const fs::path beside = fs::path(self).parent_path() / "kupack.exe";
  return fs::exists(beside) ? beside : fs::path(KUPACK_BINARY);
}

// The runtime's text mode wrote every "\n" as "\r\n"; this undoes exactly that.
std::string fromTextMode(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}

std::wstring wideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wideLength > 0 ? wideLength : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), wideLength);
  return wide;
}

}  // namespace

RunResult runKupack(const std::vector<std::string>& args, const fs::path& workingDir,
                    const std::string& input, const std::string& locale) {
  std::vector<std::string> argv{nativeOf(kupackProgram())};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv, workingDir, input, locale);
}

RunResult runCommand(const std::vector<std::string>& argv, const fs::path& workingDir,
                     const std::string& input, const std::string& /*locale*/) {
  TempDir io;
  writeFile(io / "in", input);
  std::string commandLine;
  for (const auto& arg : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(arg);
  }

  RunResult result;
  {
    const Handle in(openInheritable(io / "in", false));
    const Handle out(openInheritable(io / "out", true));
    const Handle err(openInheritable(io / "err", true));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    const std::wstring folder = workingDir.native();
    std::wstring wideCommandLine = wideFromUtf8(commandLine);
    // Wine has been seen to refuse a start once in a long suite on a busy machine; a start
    // that fails three times, half a second apart, is a real failure and says why.
    bool started = false;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
      if (attempt > 0) Sleep(500);
      started = CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               folder.c_str(), &startup, &process) != 0;
      if (!started) startError = GetLastError();
    }
    if (!started) {
      throw std::runtime_error("cannot start " + commandLine + " (error " +
                               std::to_string(startError) + ")");
    }
    const Handle processHandle(process.hProcess);
    const Handle threadHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, RUN_TIMEOUT_MS) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
    } else {
      DWORD code = 0;
      if (GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
    }
  }
  result.out = fromTextMode(readFile(io / "out"));
  result.err = fromTextMode(readFile(io / "err"));
  return result;
}

bool dialogsReadStandardInput() { return false; }

fs::path pathFromNative(const std::string& native) { return fs::path(wideFromUtf8(native)); }

std::string nativeOf(const fs::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string native(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, native.data(), needed, nullptr, nullptr);
  return native;
}

// Native names are UTF-8: every name the tests write has one, whatever the ANSI code page.
bool nativeCanName(const std::string& /*utf8*/) { return true; }

std::string consoleBytes(const std::string& utf8, const std::string& /*locale*/) {
  return japaneseShown() ? sjis(utf8) : utf8;
}

bool japaneseShown() { return GetACP() == 932; }

bool englishShown() { return !japaneseShown(); }

std::string sjis(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int wideLength =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (wideLength <= 0) throw std::runtime_error("not UTF-8: " + utf8);
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), wideLength);
  BOOL usedDefault = FALSE;
  const int needed = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength,
                                         nullptr, 0, nullptr, &usedDefault);
  std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
  WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, out.data(), needed,
                      nullptr, &usedDefault);
  if (needed <= 0 || usedDefault) throw std::runtime_error("text has no CP932 form: " + utf8);
  return out;
}

}  // namespace kupack::test
