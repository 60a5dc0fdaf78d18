// Helpers shared by the tests: temporary folders, whole files, and whole runs of the
// kupack program with a given standard input, catching its output and exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kupack::test {

// A fresh, empty folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path`, creating the folders on the way.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::string readFile(const std::filesystem::path& path);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);

struct RunResult {
  int exitCode = -1;
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error
};

// Runs the kupack program built beside the tests with `args`, in `workingDir`, feeding
// `input` as standard input (empty: an empty input, not a terminal). The locale is set
// to `locale` ("C": console text stays code page 932 bytes; "C.UTF-8": UTF-8).
RunResult runKupack(const std::vector<std::string>& args, const std::filesystem::path& workingDir,
                    const std::string& input = {}, const std::string& locale = "C");

// Runs any command (program and arguments) the same way.
RunResult runCommand(const std::vector<std::string>& argv, const std::filesystem::path& workingDir,
                     const std::string& input = {}, const std::string& locale = "C");

// True when `part` occurs in `text`.
inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Converts UTF-8 text to code page 932 bytes with the system's converter (for expected
// console lines written readably in the tests).
std::string sjis(const std::string& utf8);

}  // namespace kupack::test
