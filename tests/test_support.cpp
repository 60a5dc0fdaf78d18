// The portable part of the test helpers: temporary folders and whole files. Running programs
// and code page conversion are in tests/support/posix.cpp and tests/support/win32.cpp.
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "app/catalogue.h"
#include "platform/platform.h"

namespace kupack::test {
namespace fs = std::filesystem;

JapaneseTexts::JapaneseTexts() {
  if (!useLanguage("ja")) throw std::runtime_error("no Japanese catalogue compiled in");
}

JapaneseTexts::~JapaneseTexts() { useLanguage(""); }

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
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

fs::path TempDir::operator/(const std::string& name) const { return path_ / u8path(name); }

fs::path u8path(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string nativeName(const std::string& utf8) { return nativeOf(u8path(utf8)); }

std::string withNativeSeparators(std::string path) {
  for (char& c : path) {
    if (c == '/') c = platform::nativeSeparator();
  }
  return path;
}

bool makeFolderLink(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_directory_symlink(target, link, error);
  return !error;
}

bool makeFileLink(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_symlink(target, link, error);
  return !error;
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

std::vector<std::string> namesEndingIn(const fs::path& folder, const std::string& suffix) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(suffix)) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
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

}  // namespace kupack::test
