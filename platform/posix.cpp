// The platform layer on POSIX systems: paths and folders through the C library, names and
// console text converted between code page 932 and the UTF-8 of file names and terminals
// (iconv), folders listed in the order NTFS keeps them, and console stand-ins for the
// folder chooser, the save dialog and the key wait.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"
#include "platform/upcase_table.h"

namespace kupack::platform {
namespace {

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------

// The length of the well-formed UTF-8 character at the start of `text` (shortest form,
// no surrogate, at most U+10FFFF), its code point in `codePoint`; 0 when there is none.
std::size_t decodeUtf8Char(std::string_view text, char32_t& codePoint) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(0);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

bool isUtf8(std::string_view text) {
  char32_t ignored = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = decodeUtf8Char(text.substr(pos), ignored);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Well-formed UTF-8 as UTF-16 code units.
std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  char32_t codePoint = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    pos += decodeUtf8Char(utf8.substr(pos), codePoint);
    if (codePoint < 0x10000) {
      units.push_back(static_cast<char16_t>(codePoint));
    } else {
      const char32_t offset = codePoint - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return units;
}

// ---- Code page 932 through iconv ------------------------------------------------------

// One iconv conversion, opened once for the process (everything runs on one thread).
class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (available()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool available() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  // The whole text converted, or nullopt when any part of it does not convert.
  std::optional<std::string> strict(std::string_view text) { return run(text, false); }

  // The text converted, with every byte that does not convert copied as it is.
  std::string lenient(std::string_view text) { return *run(text, true); }

 private:
  std::optional<std::string> run(std::string_view text, bool keepBadBytes) {
    if (!available()) {
      if (keepBadBytes) return std::string(text);
      return std::nullopt;
    }
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    // Between code page 932 and UTF-8 no character grows beyond three times its bytes.
    std::string out(text.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t done = 0;
    while (inLeft > 0) {
      char* outPtr = out.data() + done;
      std::size_t outLeft = out.size() - done;
      const std::size_t rc = iconv(handle_, &in, &inLeft, &outPtr, &outLeft);
      done = out.size() - outLeft;
      if (rc != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      if (!keepBadBytes) return std::nullopt;
      // EILSEQ: copy the byte that does not convert; EINVAL: an unfinished character at
      // the end, copied likewise.
      const std::size_t copied = errno == EINVAL ? inLeft : 1;
      if (out.size() - done < copied) out.resize(done + copied + 16);
      std::memcpy(out.data() + done, in, copied);
      done += copied, in += copied, inLeft -= copied;
      iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(done);
    return out;
  }

  iconv_t handle_;
};

// One converter a thread: an iconv handle keeps state while it converts, and the reading
// pool converts names on several threads at once.
Converter& cp932ToUtf8Converter() {
  thread_local Converter converter("UTF-8", "CP932");
  return converter;
}

Converter& utf8ToCp932Converter() {
  thread_local Converter converter("CP932", "UTF-8");
  return converter;
}

// Well-formed UTF-8 as code page 932, only when the way back gives the same bytes: the
// converter maps some signs onto look-alikes (U+301C and U+FF5E both to 0x8160, U+00A5 to
// the backslash 0x5C), which would merge names or cut a name at a false separator.
std::optional<std::string> utf8ToCp932Exact(std::string_view utf8) {
  if (isAscii(utf8)) return std::string(utf8);
  auto cp932 = utf8ToCp932Converter().strict(utf8);
  if (!cp932) return std::nullopt;
  const auto back = cp932ToUtf8Converter().strict(*cp932);
  if (!back || *back != utf8) return std::nullopt;
  return cp932;
}

std::optional<std::string> cp932ToUtf8(std::string_view cp932) {
  if (isAscii(cp932)) return std::string(cp932);
  return cp932ToUtf8Converter().strict(cp932);
}

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

// ---- Paths --------------------------------------------------------------------------

std::string lastComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> resolvedPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool entryExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// ---- Listing order ------------------------------------------------------------------

// The uppercase of every UTF-16 code unit, built once from the fixed runs.
const std::array<char16_t, 0x10000>& upcaseTable() {
  static const auto table = [] {
    auto units = std::make_unique<std::array<char16_t, 0x10000>>();
    for (std::size_t unit = 0; unit < units->size(); ++unit) {
      (*units)[unit] = static_cast<char16_t>(unit);
    }
    for (const upcase::Run& run : upcase::kRuns) {
      for (std::uint32_t unit = run.first; unit <= run.last; unit += run.stride) {
        (*units)[unit] = static_cast<char16_t>(static_cast<std::int32_t>(unit) + run.delta);
      }
    }
    return units;
  }();
  return *table;
}

// What a name is ordered by: its UTF-16 form upper-cased, then as it is, then its bytes.
struct OrderedEntry {
  FolderEntry entry;
  bool hasUnicode = false;
  std::u16string folded;
  std::u16string units;
};

OrderedEntry withOrderKey(FolderEntry entry) {
  OrderedEntry ordered;
  std::optional<std::string> utf8;
  if (isUtf8(entry.name)) {
    utf8 = entry.name;
  } else {
    utf8 = cp932ToUtf8(entry.name);
  }
  if (utf8) {
    ordered.hasUnicode = true;
    ordered.units = utf8ToUtf16(*utf8);
    ordered.folded = ordered.units;
    const auto& upcase = upcaseTable();
    for (char16_t& unit : ordered.folded) unit = upcase[unit];
  }
  ordered.entry = std::move(entry);
  return ordered;
}

bool orderedBefore(const OrderedEntry& a, const OrderedEntry& b) {
  if (a.hasUnicode != b.hasUnicode) return a.hasUnicode;
  if (const int c = a.folded.compare(b.folded); c != 0) return c < 0;
  if (const int c = a.units.compare(b.units); c != 0) return c < 0;
  return a.entry.name < b.entry.name;  // std::string compares bytes as unsigned
}

// What a listed name is; a link is what it leads to, and one that cannot be followed
// (dangling, a loop) keeps the errno of the failure.
FolderEntry entryOf(int folderDescriptor, const dirent& found) {
  FolderEntry entry{found.d_name, EntryKind::Other};
  if (found.d_type == DT_DIR) {
    entry.kind = EntryKind::Folder;
    return entry;
  }
  if (found.d_type == DT_REG) {
    entry.kind = EntryKind::File;
    return entry;
  }
  if (found.d_type != DT_LNK && found.d_type != DT_UNKNOWN) return entry;
  struct stat info {};
  if (fstatat(folderDescriptor, found.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return entry;
  entry.link = S_ISLNK(info.st_mode);
  if (entry.link && fstatat(folderDescriptor, found.d_name, &info, 0) != 0) {
    entry.linkError = errno != 0 ? errno : ENOENT;
    return entry;
  }
  if (S_ISDIR(info.st_mode)) entry.kind = EntryKind::Folder;
  if (S_ISREG(info.st_mode)) entry.kind = EntryKind::File;
  return entry;
}

struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};

// ---- The console stand-ins ----------------------------------------------------------

std::FILE*& promptInputOverride() {
  static std::FILE* input = nullptr;
  return input;
}

std::FILE* promptInput() {
  std::FILE* input = promptInputOverride();
  return input != nullptr ? input : stdin;
}

// One line of the user's answer without its line end; nullopt at the end of input.
std::optional<std::string> readAnswer() {
  std::FILE* input = promptInput();
  std::string line;
  bool gotAny = false;
  for (int c = std::fgetc(input); c != EOF; c = std::fgetc(input)) {
    gotAny = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!gotAny) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool isYes(std::string answer) {
  for (char& c : answer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return answer == "y" || answer == "yes";
}

bool hasExtension(const std::string& path) {
  return lastComponent(path).find('.', 1) != std::string::npos;
}

FolderChoice folderAnswer(const std::string& answer, const std::string& startFolder) {
  FolderChoice choice;
  choice.path = absolutePath(answer, startFolder);
  if (!isFolder(choice.path)) {
    choice.result = FolderChoiceResult::NoFileSystemPath;
    return choice;
  }
  if (auto resolved = resolvedPath(choice.path)) choice.path = std::move(*resolved);
  choice.result = FolderChoiceResult::Chosen;
  return choice;
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

// ---- Paths --------------------------------------------------------------------------

char nativeSeparator() { return '/'; }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::optional<std::string> currentDirectory() {
  for (std::size_t capacity = 4096; capacity <= (std::size_t{1} << 20); capacity *= 2) {
    std::string buffer(capacity, '\0');
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

bool changeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string absolutePath(const std::string& path, const std::string& base) {
  const std::string joined = !path.empty() && path[0] == '/' ? path : base + "/" + path;
  const bool absolute = !joined.empty() && joined[0] == '/';
  std::vector<std::string_view> parts;
  const std::string_view whole(joined);
  for (std::size_t pos = 0; pos <= whole.size();) {
    std::size_t end = whole.find('/', pos);
    if (end == std::string_view::npos) end = whole.size();
    const std::string_view part = whole.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);  // a relative base keeps what it cannot climb
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const std::string_view part : parts) {
    if (absolute || !result.empty()) result += '/';
    result += part;
  }
  if (result.empty()) return absolute ? "/" : ".";
  return result;
}

// ---- Names and console text ---------------------------------------------------------

std::optional<std::string> nativeNameToCp932(std::string_view native) {
  if (isUtf8(native)) return utf8ToCp932Exact(native);
  if (cp932ToUtf8(native)) return std::string(native);
  return std::nullopt;
}

std::optional<std::string> cp932ToNativeName(std::string_view cp932) { return cp932ToUtf8(cp932); }

std::string nativeToConsoleText(std::string_view native) {
  if (isUtf8(native)) {
    if (auto whole = utf8ToCp932Exact(native)) return *whole;
  } else if (cp932ToUtf8(native)) {
    return std::string(native);
  }
  // Character by character: what has no code page 932 form, or is no character, is '?'.
  std::string text;
  char32_t ignored = 0;
  for (std::size_t pos = 0; pos < native.size();) {
    const std::size_t length = decodeUtf8Char(native.substr(pos), ignored);
    if (length == 0) {
      text += '?';
      ++pos;
      continue;
    }
    const auto converted = utf8ToCp932Exact(native.substr(pos, length));
    text += converted ? *converted : std::string("?");
    pos += length;
  }
  return text;
}

namespace {

void writeConsoleTo(std::FILE* stream, std::string_view cp932) {
  if (consoleIsUtf8() && !isAscii(cp932)) {
    const std::string utf8 = cp932ToUtf8Converter().lenient(cp932);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
  } else {
    std::fwrite(cp932.data(), 1, cp932.size(), stream);
  }
  std::fflush(stream);
}

}  // namespace

void writeConsole(std::string_view cp932) { writeConsoleTo(stdout, cp932); }

void writeConsoleError(std::string_view cp932) { writeConsoleTo(stderr, cp932); }

bool outputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::string cp932ToUtf8Text(std::string_view cp932) {
  if (isAscii(cp932)) return std::string(cp932);
  return cp932ToUtf8Converter().lenient(cp932);
}

void prepareOutputForBytes() { std::signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

// Every name but "", "." and ".." is a file's name here.
bool reservesDeviceNames() { return false; }

// ---- Files and folders --------------------------------------------------------------

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  entries.clear();
  const std::unique_ptr<DIR, FolderCloser> folder(opendir(path.c_str()));
  if (!folder) return false;
  bool sawSelf = false;
  bool sawParent = false;
  std::vector<OrderedEntry> others;
  for (;;) {
    errno = 0;
    const dirent* found = readdir(folder.get());
    if (found == nullptr) {
      if (errno != 0) return false;
      break;
    }
    const std::string_view name(found->d_name);
    if (name == ".") {
      sawSelf = true;
    } else if (name == "..") {
      sawParent = true;
    } else {
      others.push_back(withOrderKey(entryOf(dirfd(folder.get()), *found)));
    }
  }
  std::sort(others.begin(), others.end(), orderedBefore);
  entries.reserve(others.size() + 2);
  if (sawSelf) entries.push_back({".", EntryKind::Folder});
  if (sawParent) entries.push_back({"..", EntryKind::Folder});
  for (OrderedEntry& other : others) entries.push_back(std::move(other.entry));
  return true;
}

std::optional<FolderIdentity> folderIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return FolderIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<std::string> linkTarget(const std::string& path) {
  std::string target(256, '\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 4);
  }
  errno = ENAMETOOLONG;
  return std::nullopt;
}

bool isFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string& path) { return entryExists(path); }

std::optional<std::uint64_t> fileSize(const std::string& path) {
  // Not blocking: opening a pipe for reading would otherwise wait for a writer.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return std::nullopt;
  struct stat info {};
  const int rc = fstat(descriptor, &info);
  int error = errno;
  ::close(descriptor);
  if (rc == 0 && !S_ISREG(info.st_mode)) error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  if (rc != 0 || !S_ISREG(info.st_mode)) {
    errno = error;
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool keepReplacedFileAttributes(std::FILE* file, const std::string& replacedPath) {
  struct stat replaced {};
  if (stat(replacedPath.c_str(), &replaced) != 0 || !S_ISREG(replaced.st_mode)) return true;
  const int descriptor = fileno(file);
  // Owner and group first: a change of owner clears the set-user and set-group bits.
  const bool ownerKept = fchown(descriptor, replaced.st_uid, replaced.st_gid) == 0;
  if (!ownerKept) static_cast<void>(fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid));
  struct stat current {};
  if (fstat(descriptor, &current) != 0) return false;
  mode_t mode = replaced.st_mode & 07777;
  if (current.st_uid != replaced.st_uid || current.st_gid != replaced.st_gid)
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  if (fchmod(descriptor, mode) == 0) return true;
  const int error = errno;
  if (fstat(descriptor, &current) == 0 && (current.st_mode & ~mode & 0777) == 0) return true;
  errno = error;
  return false;
}

bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool makeNewFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

std::FILE* openForReading(const std::string& path, std::uint64_t& size) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return nullptr;
  struct stat info {};
  int error = 0;
  if (fstat(descriptor, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else {
    // Back to blocking reads now that it is known to be a regular file.
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (std::FILE* stream = fdopen(descriptor, "rb")) {
      size = static_cast<std::uint64_t>(info.st_size);
      return stream;
    }
    error = errno;
  }
  ::close(descriptor);
  errno = error;
  return nullptr;
}

std::optional<std::string> archiveTarget(const std::string& path) {
  struct stat info {};
  // Nothing there (or nothing that can be looked at): the writer creates the archive or
  // says why it cannot.
  if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return path;
  if (!S_ISLNK(info.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  const auto target = resolvedPath(path);
  if (!target) return std::nullopt;
  if (stat(target->c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  return target;
}

namespace {

// Files being made right now and not yet registered: an early end on another thread waits
// for them (see removeRegisteredAndReraise).
std::atomic<int> creationsUnderway{0};

// Set once an early end's cleanup has begun: no file is made from then on, and a further
// signal leaves the cleanup to finish.
std::atomic<bool> endingEarly{false};

// For tests: told what the early end's handler is doing (see setEarlyEndObserver).
std::atomic<void (*)(EarlyEndMoment)> earlyEndObserver{nullptr};

void tellEarlyEndObserver(EarlyEndMoment moment) {
  if (const auto observer = earlyEndObserver.load()) observer(moment);
}

// While it lives, this thread receives none of the signals that end a run early (one sent
// meanwhile arrives when it ends, or is taken by another thread, which then waits for the
// creation to be registered).
class EarlyEndSignalsHeld {
 public:
  EarlyEndSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signalNumber);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
    creationsUnderway.fetch_add(1);
  }
  ~EarlyEndSignalsHeld() {
    creationsUnderway.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  EarlyEndSignalsHeld(const EarlyEndSignalsHeld&) = delete;
  EarlyEndSignalsHeld& operator=(const EarlyEndSignalsHeld&) = delete;

  // True once an early end has begun: nothing may be made any more, since its cleanup
  // might not see it. (Counted as underway first, then looked: a cleanup that began
  // before is seen here, one that begins after waits for this creation.)
  static bool tooLate() { return endingEarly.load(); }

 private:
  sigset_t previous_{};
};

}  // namespace

std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal) {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(getpid()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = stem + '.';
    std::uint64_t bits = generator();
    for (int i = 0; i < 8; ++i, bits /= 36) name += DIGITS[bits % 36];
    name += suffix;
    // Made and registered for removal as one step, as far as this thread's signals go.
    const EarlyEndSignalsHeld held;
    if (EarlyEndSignalsHeld::tooLate()) {
      errno = EINTR;
      return nullptr;
    }
    // O_EXCL fails on every existing name, a link included, so nothing is followed.
    const int descriptor =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (removal != nullptr) removal->track(name);
    std::FILE* stream = fdopen(descriptor, "wb");
    if (stream == nullptr) {
      const int error = errno;
      ::close(descriptor);
      unlink(name.c_str());
      if (removal != nullptr) removal->release();
      errno = error;
      return nullptr;
    }
    createdPath = std::move(name);
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

// ---- Ending early -------------------------------------------------------------------

namespace {

// The files to remove on an early end, in fixed storage the signal handler can read
// without allocating: a slot is claimed, then its name written, then marked ready. The
// name is relative to `folder` (a descriptor, or AT_FDCWD for a path).
constexpr int EARLY_END_SLOTS = 40;  // extraction writes up to 32 files at once
enum SlotState : int { SLOT_FREE, SLOT_CLAIMED, SLOT_READY };
struct EarlyEndSlot {
  std::atomic<int> state{SLOT_FREE};
  int folder = AT_FDCWD;
  char path[PATH_MAX] = {};
};
EarlyEndSlot earlyEndSlots[EARLY_END_SLOTS];

// Takes a free slot for `name` below `folder`; -1 when none is free or the name too long.
int takeEarlyEndSlot(int folder, const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  for (int i = 0; i < EARLY_END_SLOTS; ++i) {
    EarlyEndSlot& slot = earlyEndSlots[i];
    int expected = SLOT_FREE;
    if (!slot.state.compare_exchange_strong(expected, SLOT_CLAIMED, std::memory_order_acquire))
      continue;
    slot.folder = folder;
    std::memcpy(slot.path, name.c_str(), name.size() + 1);
    slot.state.store(SLOT_READY, std::memory_order_release);
    return i;
  }
  return -1;
}

void freeEarlyEndSlot(int slot) {
  if (slot >= 0) earlyEndSlots[slot].state.store(SLOT_FREE, std::memory_order_release);
}

// Runs with INT, TERM and HUP held on its thread (the action's mask) and stays installed,
// so that a second signal never ends the process halfway: one that reaches another thread
// finds the cleanup under way and returns, leaving it to finish. Only once every file is
// removed does the signal get its default action back; raised again on this thread, where
// it is held, it ends the process as soon as the handler returns.
extern "C" void removeRegisteredAndReraise(int signalNumber) {
  const int savedErrno = errno;
  if (endingEarly.exchange(true)) {
    tellEarlyEndObserver(EarlyEndMoment::FurtherSignal);
    errno = savedErrno;
    return;
  }
  tellEarlyEndObserver(EarlyEndMoment::CleanupStarts);
  // A file being made on another thread is registered within moments: wait for it (bounded,
  // about a second at most).
  for (int wait = 0; wait < 1000 && creationsUnderway.load() > 0; ++wait) {
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  for (EarlyEndSlot& slot : earlyEndSlots) {
    if (slot.state.load(std::memory_order_acquire) == SLOT_READY)
      unlinkat(slot.folder, slot.path, 0);
  }
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signalNumber, &defaultAction, nullptr);
  raise(signalNumber);
  errno = savedErrno;
}

}  // namespace

void keepFreedBuffers() {
#if defined(__GLIBC__)
  // Blocks from here on come from the heap, not from mappings of their own, and the heap's top
  // is given back only beyond 256 MiB free. Where the allocator caps these settings lower (a
  // 32-bit build) it refuses them and keeps its own: only speed differs.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  // One heap for every thread: with a heap per thread (up to 8 per core), each keeps what its
  // coders freed, and a run at a high -j held twice its budgets (100 coders of a 16 MiB
  // bitmap at -j 1024: 1.26 GB against 0.68 GB with one heap, at the same speed at -j 2).
  mallopt(M_ARENA_MAX, 1);
#endif
}

void startWriteback(std::FILE* file, std::uint64_t from, std::uint64_t to) {
#if defined(SYNC_FILE_RANGE_WRITE)
  if (to > from) {
    sync_file_range(fileno(file), static_cast<off_t>(from), static_cast<off_t>(to - from),
                    SYNC_FILE_RANGE_WRITE);
  }
#else
  static_cast<void>(file), static_cast<void>(from), static_cast<void>(to);
#endif
}

void installEarlyEndCleanup() {
  struct sigaction action {};
  action.sa_handler = removeRegisteredAndReraise;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signalNumber);
  action.sa_flags = 0;
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    // A signal ignored by whoever started the run (nohup, a background job) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    sigaction(signalNumber, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

void RemovedOnEarlyEnd::track(const std::string& path) {
  release();
  slot_ = takeEarlyEndSlot(AT_FDCWD, path);
}

void RemovedOnEarlyEnd::release() {
  freeEarlyEndSlot(slot_);
  slot_ = -1;
}

void setEarlyEndObserver(void (*observer)(EarlyEndMoment)) { earlyEndObserver.store(observer); }

// ---- The user -----------------------------------------------------------------------

FolderChoice chooseFolder(const char* titleCp932, const std::string& startFolder) {
  consoleWrite(titleCp932);
  consoleWrite("\n");
  const auto answer = readAnswer();
  if (!answer || answer->empty()) return {};
  return folderAnswer(*answer, startFolder);
}

FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder) {
  if (argument.empty()) return {FolderChoiceResult::NoFileSystemPath, {}};
  return folderAnswer(argument, startFolder);
}

std::optional<std::string> chooseSaveName(const char* titleCp932, const char* filterNameCp932,
                                          const std::string& preset,
                                          const std::string& startFolder) {
  consoleWrite(titleCp932);
  consoleWrite("\n");
  for (;;) {
    consolePrint(MSG_SAVE_NAME_PROMPT, filterNameCp932, nativeToConsoleText(preset).c_str());
    const auto answer = readAnswer();
    if (!answer || answer->empty()) return std::nullopt;
    std::string path = absolutePath(*answer, startFolder);
    if (!isFolder(path) && !hasExtension(path)) path += ".kup";
    const std::string shown = nativeToConsoleText(path);
    if (isFolder(path)) {
      consolePrint(MSG_SAVE_IS_FOLDER, shown.c_str());
      continue;
    }
    if (entryExists(path)) {
      consolePrint(MSG_SAVE_REPLACE_PROMPT, shown.c_str());
      const auto consent = readAnswer();
      if (!consent || !isYes(*consent)) continue;
    }
    return path;
  }
}

const char* startFolderRefusal() { return MSG_START_FOLDER_REFUSED_POSIX; }

void waitForKey() {
  std::FILE* input = promptInput();
  const int descriptor = fileno(input);
  if (descriptor < 0 || !isatty(descriptor)) return;
  consoleWrite(MSG_PAUSE_PROMPT);
  {
    const RawTerminal raw(descriptor);
    unsigned char key = 0;
    while (::read(descriptor, &key, 1) < 0 && errno == EINTR) {
    }
  }
  consoleWrite("\n");
}

// A terminal window stays open when the program ends.
void keepConsoleOpenAtExit() {}

void setPromptInput(std::FILE* input) { promptInputOverride() = input; }

}  // namespace kupack::platform

// ---- Extracting below a target folder --------------------------------------------------

namespace kupack::platform {
namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Why `name` in the folder `folderFd` could not be used as a folder or a file.
CreatedFile classifyRefusal(int folderFd, const std::string& name, int openError) {
  CreatedFile outcome;
  struct stat info {};
  if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      outcome.result = CreateBelowResult::ThroughLink;
      return outcome;
    }
    if (openError == ENOTDIR) {
      outcome.result = CreateBelowResult::NotAFolder;
      return outcome;
    }
  }
  outcome.result = CreateBelowResult::Failed;
  outcome.errorNumber = openError;
  return outcome;
}

}  // namespace

bool makeFolders(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    partial = path.substr(0, end);
    if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    start = end + 1;
  }
  if (!isFolder(path)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

struct StagedFile::Native {
  Descriptor folder{-1};
  std::string temporaryName;
  std::string name;
  bool replace = false;
  std::FILE* stream = nullptr;
  bool placed = false;
  int earlyEndSlot = -1;  // the temporary name, registered for removal on an early end
};

namespace {

// A name no other run picks: ".kupack-" and 16 random hexadecimal digits.
std::string temporaryFileName() {
  // One generator a thread: extraction makes files on several threads at once.
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(getpid()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string name = ".kupack-";
  std::uint64_t bits = generator();
  for (int i = 0; i < 16; ++i, bits >>= 4) name += DIGITS[bits & 0xF];
  return name + ".part";
}

// Gives the complete temporary file its name without replacing anything: a hard link
// that fails when the name is taken, then the temporary name removed. File systems
// without hard links get a rename after a last look at the name.
bool placeWithoutReplacing(int folder, const std::string& from, const std::string& to) {
  if (linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
    unlinkat(folder, from.c_str(), 0);
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat info {};
  if (fstatat(folder, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

}  // namespace

StagedFile::StagedFile() = default;
StagedFile::StagedFile(std::unique_ptr<Native> native) : native_(std::move(native)) {}
StagedFile::~StagedFile() { discard(); }
StagedFile::StagedFile(StagedFile&&) noexcept = default;
StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    discard();
    native_ = std::move(other.native_);
  }
  return *this;
}

bool StagedFile::isOpen() const { return native_ && native_->stream != nullptr; }
std::FILE* StagedFile::stream() const { return native_ ? native_->stream : nullptr; }

bool StagedFile::place() {
  if (!isOpen()) {
    errno = EBADF;
    return false;
  }
  Native& file = *native_;
  const bool written = std::fclose(std::exchange(file.stream, nullptr)) == 0;
  const bool renamed =
      written &&
      (file.replace ? renameat(file.folder.get(), file.temporaryName.c_str(), file.folder.get(),
                               file.name.c_str()) == 0
                    : placeWithoutReplacing(file.folder.get(), file.temporaryName, file.name));
  if (!renamed) {
    const int error = errno;
    unlinkat(file.folder.get(), file.temporaryName.c_str(), 0);
    freeEarlyEndSlot(std::exchange(file.earlyEndSlot, -1));
    errno = error;
    return false;
  }
  file.placed = true;
  freeEarlyEndSlot(std::exchange(file.earlyEndSlot, -1));
  return true;
}

void StagedFile::discard() {
  if (!native_ || native_->placed) return;
  const int error = errno;
  if (native_->stream != nullptr) std::fclose(std::exchange(native_->stream, nullptr));
  unlinkat(native_->folder.get(), native_->temporaryName.c_str(), 0);
  freeEarlyEndSlot(std::exchange(native_->earlyEndSlot, -1));
  native_->placed = true;  // nothing left to remove
  errno = error;
}

CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace) {
  CreatedFile outcome;
  if (levels.empty()) {
    outcome.errorNumber = EINVAL;
    return outcome;
  }
  Descriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    outcome.errorNumber = errno;
    return outcome;
  }
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    const char* name = levels[i].c_str();
    if (mkdirat(folder.get(), name, 0777) != 0 && errno != EEXIST) {
      outcome.errorNumber = errno;
      return outcome;
    }
    const int next = openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return classifyRefusal(folder.get(), levels[i], errno);
    folder.reset(next);
  }
  const std::string& fileName = levels.back();
  struct stat existing {};
  if (fstatat(folder.get(), fileName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      outcome.errorNumber = EISDIR;
      return outcome;
    }
    if (!replace) {
      outcome.result =
          S_ISLNK(existing.st_mode) ? CreateBelowResult::ThroughLink : CreateBelowResult::Exists;
      return outcome;
    }
  } else if (errno != ENOENT) {
    outcome.errorNumber = errno;
    return outcome;
  }
  // The temporary file is new: made exclusively, so no link or other file is ever opened.
  auto native = std::make_unique<StagedFile::Native>();
  for (int attempt = 0; attempt < 100 && native->stream == nullptr; ++attempt) {
    native->temporaryName = temporaryFileName();
    // Made and registered for removal on an early end as one step, as far as this
    // thread's signals go (the folder's descriptor stays open as long as the slot).
    const EarlyEndSignalsHeld held;
    if (EarlyEndSignalsHeld::tooLate()) {
      outcome.errorNumber = EINTR;
      return outcome;
    }
    Descriptor file(openat(folder.get(), native->temporaryName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      outcome.errorNumber = errno;
      return outcome;
    }
    native->earlyEndSlot = takeEarlyEndSlot(folder.get(), native->temporaryName);
    native->stream = fdopen(file.get(), "wb");
    if (native->stream == nullptr) {
      outcome.errorNumber = errno;
      unlinkat(folder.get(), native->temporaryName.c_str(), 0);
      freeEarlyEndSlot(std::exchange(native->earlyEndSlot, -1));
      return outcome;
    }
    file.release();
  }
  if (native->stream == nullptr) {
    outcome.errorNumber = EEXIST;
    return outcome;
  }
  native->name = fileName;
  native->replace = replace;
  native->folder.reset(folder.release());
  outcome.result = CreateBelowResult::Created;
  outcome.file = StagedFile(std::move(native));
  return outcome;
}

}  // namespace kupack::platform

// ---- Files held open while they are served -------------------------------------------

namespace kupack::platform {
namespace {

std::int64_t modificationNanoseconds(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

HeldFile::~HeldFile() { close(); }

HeldFile::HeldFile(HeldFile&& other) noexcept { *this = std::move(other); }

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    device_ = other.device_;
    fileNumber_ = other.fileNumber_;
    size_ = other.size_;
    modified_ = other.modified_;
  }
  return *this;
}

void HeldFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool HeldFile::isOpen() const { return handle_ >= 0; }

bool HeldFile::openForReading(const std::string& path) {
  close();
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return false;
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : (errno != 0 ? errno : EINVAL);
    ::close(descriptor);
    errno = error;
    return false;
  }
  handle_ = descriptor;
  device_ = static_cast<std::uint64_t>(info.st_dev);
  fileNumber_ = static_cast<std::uint64_t>(info.st_ino);
  size_ = static_cast<std::uint64_t>(info.st_size);
  modified_ = modificationNanoseconds(info);
  return true;
}

bool HeldFile::openUnnamedTemporary() {
  close();
  const char* folder = std::getenv("TMPDIR");
  const std::string base = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  int descriptor = -1;
#ifdef O_TMPFILE
  descriptor = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (descriptor < 0) {
    // File systems without O_TMPFILE: a unique name, removed as soon as it is open.
    std::string name = joinPath(base, "kupack-XXXXXX");
    descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (descriptor < 0) return false;
    unlink(name.c_str());
  }
  handle_ = descriptor;
  return true;
}

bool HeldFile::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = ::pread(static_cast<int>(handle_), buffer.data() + done,
                                buffer.size() - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void HeldFile::willRead(std::uint64_t position, std::uint64_t length) const {
#if defined(POSIX_FADV_WILLNEED)
  posix_fadvise(static_cast<int>(handle_), static_cast<off_t>(position), static_cast<off_t>(length),
                POSIX_FADV_WILLNEED);
#else
  static_cast<void>(position), static_cast<void>(length);
#endif
}

bool HeldFile::writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::pwrite(static_cast<int>(handle_), bytes.data() + done,
                                 bytes.size() - done, static_cast<off_t>(position + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::int64_t HeldFile::modifiedUnixSeconds() const { return modified_ / 1000000000; }

bool HeldFile::stillNamedBy(const std::string& path) const {
  struct stat named {};
  struct stat held {};
  if (stat(path.c_str(), &named) != 0 || fstat(static_cast<int>(handle_), &held) != 0) {
    return false;
  }
  const auto same = [this](const struct stat& info) {
    return static_cast<std::uint64_t>(info.st_dev) == device_ &&
           static_cast<std::uint64_t>(info.st_ino) == fileNumber_ &&
           static_cast<std::uint64_t>(info.st_size) == size_ &&
           modificationNanoseconds(info) == modified_;
  };
  return same(named) && same(held);
}

bool HeldFile::unchangedWhileHeld() const {
  struct stat held {};
  if (fstat(static_cast<int>(handle_), &held) != 0) return false;
  return held.st_nlink > 0 && static_cast<std::uint64_t>(held.st_size) == size_ &&
         modificationNanoseconds(held) == modified_;
}

}  // namespace kupack::platform
