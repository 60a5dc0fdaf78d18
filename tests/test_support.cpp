#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace kupack::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  for (;;) {
    path_ = fs::temp_directory_path() /
            ("kupack-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (fs::create_directory(path_)) break;
  }
  path_ = fs::canonical(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Folders made unreadable by a test must be readable again to be removed.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::uint8_t> readBytes(const fs::path& path) {
  const std::string text = readFile(path);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

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
  TempDir io;
  writeFile(io / "in", input);
  std::string command("cd ");
  command += shellQuote(workingDir.string());
  command += " && LANG= LC_ALL=";
  command += shellQuote(locale);
  command += " ";
  command += shellQuote(KUPACK_BINARY);
  for (const auto& arg : args) command += " " + shellQuote(arg);
  command += " <" + shellQuote((io / "in").string()) + " >" + shellQuote((io / "out").string()) +
             " 2>" + shellQuote((io / "err").string());
  const int status = std::system(command.c_str());
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readFile(io / "out");
  result.err = readFile(io / "err");
  return result;
}

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
