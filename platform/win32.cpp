// Windows implementation of the platform layer: the system's Unicode file calls, the shell's
// folder chooser, the common save dialog and the command interpreter's "pause". Native names
// and paths are UTF-8 and reach the system as UTF-16, so that a name means the same file on
// every Windows whatever its ANSI code page; archive names are converted to and from code
// page 932 explicitly. Long paths reach the system with the extended-length prefix.
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include "common/messages.h"
#include "platform/platform.h"
#include "platform/win32_dialogs.h"
#include "platform/win32_text.h"
// After windows.h (through win32_dialogs.h): the command line's own UTF-16 words.
#include <shellapi.h>

namespace kupack::platform {
namespace win32 {
namespace {

bool isSeparatorByte(char c) { return c == '\\' || c == '/'; }

bool isLeadByte(unsigned codePage, char c) {
  // UTF-8 has no byte of an ASCII character inside another character.
  if (codePage == CP_UTF8) return false;
  return IsDBCSLeadByteEx(codePage, static_cast<BYTE>(c)) != FALSE;
}

// Visits the characters of `text`: `visit(offset, length)` with length 1 or 2.
template <typename Visit>
void forEachCharacter(std::string_view text, unsigned codePage, Visit visit) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = isLeadByte(codePage, text[i]) && i + 1 < text.size() ? 2 : 1;
    visit(i, length);
    i += length;
  }
}

// The pieces of `text` between separators (empty pieces included).
std::vector<std::string_view> splitAtSeparators(std::string_view text, unsigned codePage) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  forEachCharacter(text, codePage, [&](std::size_t at, std::size_t length) {
    if (length == 1 && isSeparatorByte(text[at])) {
      pieces.push_back(text.substr(start, at - start));
      start = at + 1;
    }
  });
  pieces.push_back(text.substr(start));
  return pieces;
}

enum class RootKind { Relative, RootRelative, DriveRelative, DriveAbsolute, Unc };

struct RootedPath {
  RootKind kind = RootKind::Relative;
  std::string root;       // as written back: "", "\", "C:", "C:\", "\\server\share\"
  std::string_view rest;  // everything after the root
};

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

RootedPath splitRoot(std::string_view path, unsigned codePage) {
  RootedPath rooted;
  if (path.size() >= 2 && isSeparatorByte(path[0]) && isSeparatorByte(path[1])) {
    // \\server\share: the server and share names belong to the root.
    const std::vector<std::string_view> pieces = splitAtSeparators(path.substr(2), codePage);
    rooted.kind = RootKind::Unc;
    rooted.root = "\\\\" + std::string(pieces[0]) + "\\";
    std::size_t used = 2 + pieces[0].size();
    if (pieces.size() > 1) {
      rooted.root += std::string(pieces[1]) + "\\";
      used += 1 + pieces[1].size();
    }
    rooted.rest = path.substr(std::min(used + 1, path.size()));
  } else if (path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == ':') {
    const bool absolute = path.size() >= 3 && isSeparatorByte(path[2]);
    rooted.kind = absolute ? RootKind::DriveAbsolute : RootKind::DriveRelative;
    rooted.root = std::string(path.substr(0, 2)) + (absolute ? "\\" : "");
    rooted.rest = path.substr(absolute ? 3 : 2);
  } else if (!path.empty() && isSeparatorByte(path[0])) {
    rooted.kind = RootKind::RootRelative;
    rooted.root = "\\";
    rooted.rest = path.substr(1);
  } else {
    rooted.rest = path;
  }
  return rooted;
}

// Applies the components of `rest` to `components`: "." and empty pieces vanish, ".." takes
// one back (never above the root).
void applyComponents(std::string_view rest, unsigned codePage,
                     std::vector<std::string>& components) {
  for (std::string_view piece : splitAtSeparators(rest, codePage)) {
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.emplace_back(piece);
  }
}

std::optional<std::wstring> toWide(std::string_view text, unsigned codePage, bool strict) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(codePage, flags, text.data(), length, wide.data(), needed) != needed) {
    return std::nullopt;
  }
  return wide;
}

// `wide` in `codePage`, never with a look-alike for a character that has no form there:
// with `strict` such a character makes it nullopt, otherwise it becomes '?'.
std::optional<std::string> fromWide(std::wstring_view wide, unsigned codePage, bool strict) {
  if (wide.empty()) return std::string();
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  // The UTF code pages take neither the best-fit flag nor a default character.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  // A lone surrogate has no UTF-8 form: strictly, that fails the whole conversion.
  const DWORD flags = utf ? (strict && codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0)
                          : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf ? nullptr : "?";
  BOOL usedFallback = FALSE;
  BOOL* usedFallbackOut = utf ? nullptr : &usedFallback;
  const int length = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, fallback,
                                         usedFallbackOut);
  if (needed <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(needed), '\0');
  usedFallback = FALSE;
  if (WideCharToMultiByte(codePage, flags, wide.data(), length, text.data(), needed, fallback,
                          usedFallbackOut) != needed) {
    return std::nullopt;
  }
  if (strict && usedFallback) return std::nullopt;
  return text;
}

bool isWellFormed(std::string_view text, unsigned codePage) {
  return toWide(text, codePage, true).has_value();
}

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// New folders take paths of up to MAX_PATH - 12 characters without the prefix.
constexpr std::size_t UNPREFIXED_PATH_LIMIT = MAX_PATH - 12;

}  // namespace

unsigned ansiCodePage() { return GetACP(); }

std::optional<std::wstring> systemPath(std::string_view native,
                                       std::wstring (*fullPath)(const std::wstring&)) {
  std::optional<std::wstring> wide = toWide(native, CP_UTF8, true);
  if (!wide || wide->size() < UNPREFIXED_PATH_LIMIT) return wide;
  if (startsWith(*wide, L"\\\\?\\") || startsWith(*wide, L"\\\\.\\")) return wide;
  const std::wstring full = fullPath(*wide);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return wide;  // no form the prefix takes: the system decides
}

std::optional<std::string> nativeFromSystem(std::wstring_view wide) {
  return fromWide(wide, CP_UTF8, true);
}

std::wstring cp932ToWide(std::string_view cp932) {
  return toWide(cp932, CODE_PAGE_932, false).value_or(std::wstring());
}

bool consoleClosesWithProcess(std::uint32_t processCount, bool inputIsConsole) {
  return processCount == 1 && inputIsConsole;
}

bool endsWithSeparator(std::string_view path, unsigned codePage) {
  bool last = false;
  forEachCharacter(path, codePage, [&](std::size_t at, std::size_t length) {
    last = length == 1 && isSeparatorByte(path[at]);
  });
  return last;
}

std::string withoutTrailingSeparators(std::string_view path, unsigned codePage) {
  const std::size_t rootLength = path.size() - splitRoot(path, codePage).rest.size();
  std::string trimmed(path);
  while (trimmed.size() > rootLength && endsWithSeparator(trimmed, codePage)) trimmed.pop_back();
  return trimmed;
}

std::string absolutePathIn(std::string_view path, std::string_view base, unsigned codePage) {
  const RootedPath given = splitRoot(path, codePage);
  const RootedPath from = splitRoot(base, codePage);
  std::string root;
  std::vector<std::string> components;
  switch (given.kind) {
    case RootKind::Unc:
    case RootKind::DriveAbsolute:
      root = given.root;
      break;
    case RootKind::DriveRelative:
      // Relative to the base when it lies on that drive; else to the drive's root.
      if (from.kind == RootKind::DriveAbsolute && upperAscii(from.root[0]) == upperAscii(path[0])) {
        root = from.root;
        applyComponents(from.rest, codePage, components);
      } else {
        root = given.root + "\\";
      }
      break;
    case RootKind::RootRelative:
      root = from.kind == RootKind::DriveRelative ? from.root + "\\" : from.root;
      if (root.empty()) root = "\\";
      break;
    case RootKind::Relative:
      root = from.root;
      applyComponents(from.rest, codePage, components);
      break;
  }
  applyComponents(given.rest, codePage, components);
  std::string result = root;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += '\\';
    result += components[i];
  }
  return result;
}

bool isLiteralFileName(std::string_view name, unsigned codePage) {
  if (name.empty() || name == "." || name == "..") return false;
  bool literal = true;
  char last = '\0';
  forEachCharacter(name, codePage, [&](std::size_t at, std::size_t length) {
    last = length == 1 ? name[at] : 'x';
    if (length == 2) return;
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte < 0x20 || std::string_view("<>:\"/\\|?*").find(name[at]) != std::string_view::npos) {
      literal = false;
    }
  });
  if (!literal || last == '.' || last == ' ') return false;
  // The device names count whatever follows the first dot, and with trailing spaces.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = upperAscii(c);
  static constexpr std::string_view DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : DEVICES) {
    if (base == device) return false;
  }
  const bool numbered =
      base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0);
  return !(numbered && base[3] >= '0' && base[3] <= '9');
}

std::string parentFolder(std::string_view path, unsigned codePage) {
  const RootedPath rooted = splitRoot(path, codePage);
  const std::size_t rootLength = path.size() - rooted.rest.size();
  std::size_t lastSeparator = std::string_view::npos;
  forEachCharacter(rooted.rest, codePage, [&](std::size_t at, std::size_t length) {
    if (length == 1 && isSeparatorByte(rooted.rest[at])) lastSeparator = at;
  });
  if (lastSeparator == std::string_view::npos) return std::string(path.substr(0, rootLength));
  return std::string(path.substr(0, rootLength + lastSeparator));
}

std::optional<std::string> nameToCp932(std::string_view native, unsigned codePage) {
  if (native.find('?') != std::string_view::npos) return std::nullopt;
  if (native.find('\0') != std::string_view::npos) return std::nullopt;
  if (codePage == CODE_PAGE_932) {
    if (!isWellFormed(native, CODE_PAGE_932)) return std::nullopt;
    return std::string(native);
  }
  // Another code page (UTF-8, the native one): the name is converted, and refused when code
  // page 932 cannot express it.
  const std::optional<std::wstring> wide = toWide(native, codePage, true);
  if (!wide) return std::nullopt;
  return fromWide(*wide, CODE_PAGE_932, true);
}

std::optional<std::string> cp932ToName(std::string_view cp932, unsigned codePage) {
  if (cp932.find('\0') != std::string_view::npos) return std::nullopt;
  const std::optional<std::wstring> wide = toWide(cp932, CODE_PAGE_932, true);
  if (!wide) return std::nullopt;
  if (codePage == CODE_PAGE_932) return std::string(cp932);
  return fromWide(*wide, codePage, true);
}

std::string convertForDisplay(std::string_view text, unsigned from, unsigned to) {
  if (from == to) return std::string(text);
  const std::optional<std::wstring> wide = toWide(text, from, false);
  if (!wide) return std::string(text.size(), '?');
  return fromWide(*wide, to, false).value_or(std::string(text.size(), '?'));
}

// ---- Dialog parameters ----------------------------------------------------------------

FolderChooserSetup::FolderChooserSetup(const char* titleCp932) : title_(cp932ToWide(titleCp932)) {
  params_.hwndOwner = nullptr;
  params_.pidlRoot = nullptr;
  params_.pszDisplayName = folder_.data();
  params_.lpszTitle = title_.c_str();
  params_.ulFlags = BIF_RETURNONLYFSDIRS;
  params_.lpfn = nullptr;
  params_.lParam = 0;
}

std::wstring saveDialogFilter(const char* filterNameCp932) {
  std::wstring filter = cp932ToWide(filterNameCp932);
  filter += L'\0';
  filter += L"*.kup";
  filter += L'\0';
  filter += L'\0';
  return filter;
}

SaveDialogSetup::SaveDialogSetup(const char* titleCp932, const char* filterNameCp932,
                                 const std::string& preset)
    : title_(cp932ToWide(titleCp932)), filter_(saveDialogFilter(filterNameCp932)) {
  // The preset is native (UTF-8); cut to fit without splitting a surrogate pair.
  const std::wstring wide =
      toWide(preset.substr(0, preset.find('\0')), CP_UTF8, false).value_or(std::wstring());
  std::size_t kept = std::min(wide.size(), name_.size() - 1);
  if (kept > 0 && kept < wide.size() && IS_HIGH_SURROGATE(wide[kept - 1])) --kept;
  std::copy_n(wide.data(), kept, name_.data());
  params_.lStructSize = SAVE_DIALOG_STRUCT_SIZE;
  params_.hwndOwner = nullptr;
  params_.hInstance = nullptr;
  params_.lpstrFilter = filter_.data();
  params_.lpstrCustomFilter = nullptr;
  params_.nMaxCustFilter = 0;
  params_.nFilterIndex = 0;
  params_.lpstrFile = name_.data();
  params_.nMaxFile = static_cast<DWORD>(name_.size());
  params_.lpstrFileTitle = nullptr;
  params_.nMaxFileTitle = 0;
  params_.lpstrInitialDir = nullptr;
  params_.lpstrTitle = title_.c_str();
  params_.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
  params_.lpstrDefExt = ARCHIVE_EXTENSION;
  params_.lCustData = 0;
  params_.lpfnHook = nullptr;
  params_.lpTemplateName = nullptr;
}

std::optional<std::string> SaveDialogSetup::chosenName() const {
  const auto end = std::find(name_.begin(), name_.end(), L'\0');
  return nativeFromSystem(std::wstring_view(name_.data(), static_cast<std::size_t>(end - name_.begin())));
}

}  // namespace win32

namespace {

using win32::NATIVE_CODE_PAGE;

// Sets errno from the thread's last Windows error, for callers that report with strerror.
void setErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      errno = EACCES;
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_INVALID_NAME:
      errno = EINVAL;
      break;
    default:
      errno = EIO;
      break;
  }
}

// `path` as the system's GetFullPathNameW makes it absolute; `path` itself when that fails.
std::wstring systemFullPath(const std::wstring& path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                          buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);  // too small: `length` is the capacity needed
  }
  return path;
}

// A native path for the system's "W" calls (see win32::systemPath); nullopt with errno
// EILSEQ for bytes that are no UTF-8, which name no file.
std::optional<std::wstring> wide(const std::string& path) {
  std::optional<std::wstring> converted = win32::systemPath(path, systemFullPath);
  if (!converted) errno = EILSEQ;
  return converted;
}

DWORD attributesOf(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  return name ? GetFileAttributesW(name->c_str()) : INVALID_FILE_ATTRIBUTES;
}

HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(name->c_str(), access, share, nullptr, disposition, flags, nullptr);
}

bool deleteFile(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  return name && DeleteFileW(name->c_str());
}

class KernelHandle {
 public:
  explicit KernelHandle(HANDLE handle) : handle_(handle) {}
  ~KernelHandle() {
    if (isOpen()) CloseHandle(handle_);
  }
  KernelHandle(const KernelHandle&) = delete;
  KernelHandle& operator=(const KernelHandle&) = delete;
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void close() {
    if (isOpen()) CloseHandle(release());
  }

 private:
  HANDLE handle_;
};

// One open enumeration of the system, closed with it.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (isOpen()) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A stream on an open handle, which it then owns; nullptr (errno set, the handle closed)
// when the runtime cannot take it.
std::FILE* streamOn(KernelHandle& file, int openFlags, const char* mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), openFlags);
  if (descriptor < 0) return nullptr;  // `file` still owns the handle and closes it
  file.release();                      // the descriptor owns the handle now
  std::FILE* stream = _fdopen(descriptor, mode);
  if (stream == nullptr) {
    const int error = errno;
    _close(descriptor);
    errno = error;
  }
  return stream;
}

// COM for the shell dialogs, for as long as one is shown.
class ComApartment {
 public:
  ComApartment()
      : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT result_;
};

// The item identifier that the chooser hands over; released when done with it.
struct ItemIdListRelease {
  void operator()(ITEMIDLIST* item) const { CoTaskMemFree(item); }
};
using ItemIdList = std::unique_ptr<ITEMIDLIST, ItemIdListRelease>;

// A name the system listed, as a native name. A lone surrogate (which no UTF-8 can hold)
// becomes '?', which no file name holds: nativeNameToCp932 refuses it, so the user learns of
// it.
std::string nativeName(std::wstring_view name) {
  return win32::nativeFromSystem(name).value_or("?");
}

// A whole path from the system, or nullopt (errno EILSEQ) when it has no UTF-8 form.
std::optional<std::string> nativePath(std::wstring_view path) {
  std::optional<std::string> native = win32::nativeFromSystem(path);
  if (!native) errno = EILSEQ;
  return native;
}

// The extended-length prefix taken off a path the system gave back.
std::wstring withoutExtendedPrefix(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::optional<std::string> fullPathName(const std::string& path) {
  const std::optional<std::wstring> name = win32::toWide(path, CP_UTF8, true);
  if (!name) return std::nullopt;
  return nativePath(systemFullPath(*name));
}

}  // namespace

// ---- Paths ----------------------------------------------------------------------------

char nativeSeparator() { return '\\'; }

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (win32::endsWithSeparator(folder, NATIVE_CODE_PAGE)) return folder + name;
  return folder + "\\" + name;
}

std::optional<std::string> currentDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) {
      setErrnoFromLastError();
      return std::nullopt;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return nativePath(withoutExtendedPrefix(buffer));
    }
    buffer.resize(length);  // too small: `length` is the capacity needed
  }
}

bool changeDirectory(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (SetCurrentDirectoryW(name->c_str())) return true;
  setErrnoFromLastError();
  return false;
}

std::string absolutePath(const std::string& path, const std::string& base) {
  return win32::absolutePathIn(path, base, NATIVE_CODE_PAGE);
}

// ---- Names and console text -----------------------------------------------------------

std::optional<std::string> nativeNameToCp932(std::string_view native) {
  return win32::nameToCp932(native, NATIVE_CODE_PAGE);
}

std::optional<std::string> cp932ToNativeName(std::string_view cp932) {
  return win32::cp932ToName(cp932, NATIVE_CODE_PAGE);
}

std::string nativeToConsoleText(std::string_view native) {
  return win32::convertForDisplay(native, NATIVE_CODE_PAGE, win32::CODE_PAGE_932);
}

namespace {

void writeConsoleTo(DWORD handleName, std::FILE* stream, std::string_view cp932) {
  // A console set to another code page shows the text through its characters; output that
  // goes to a file or a pipe gets the code page 932 bytes as they are.
  const HANDLE output = GetStdHandle(handleName);
  DWORD mode = 0;
  if (!cp932.empty() && GetConsoleMode(output, &mode) &&
      GetConsoleOutputCP() != win32::CODE_PAGE_932) {
    const std::optional<std::wstring> wide = win32::toWide(cp932, win32::CODE_PAGE_932, false);
    if (wide && wide->size() <= MAXDWORD) {
      std::fflush(stream);
      DWORD written = 0;
      WriteConsoleW(output, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
      return;
    }
  }
  std::fwrite(cp932.data(), 1, cp932.size(), stream);
  std::fflush(stream);
}

}  // namespace

void writeConsole(std::string_view cp932) { writeConsoleTo(STD_OUTPUT_HANDLE, stdout, cp932); }

void writeConsoleError(std::string_view cp932) { writeConsoleTo(STD_ERROR_HANDLE, stderr, cp932); }

bool outputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::string cp932ToUtf8Text(std::string_view cp932) {
  const std::optional<std::wstring> wide = win32::toWide(cp932, win32::CODE_PAGE_932, false);
  if (!wide) return std::string(cp932.size(), '?');
  return win32::fromWide(*wide, CP_UTF8, false).value_or(std::string(cp932.size(), '?'));
}

void prepareOutputForBytes() { _setmode(_fileno(stdout), _O_BINARY); }

bool reservesDeviceNames() { return true; }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  // The runtime's argv holds the ANSI code page's look-alikes of names it cannot express; the
  // system's own UTF-16 command line holds the names themselves.
  int count = 0;
  LPWSTR* const words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  bool whole = words != nullptr && count == argc;
  for (int i = 0; whole && i < count; ++i) {
    std::optional<std::string> argument = win32::nativeFromSystem(words[i]);
    if (!argument) {
      whole = false;
      break;
    }
    arguments.push_back(std::move(*argument));
  }
  if (words != nullptr) LocalFree(words);
  if (whole) return arguments;
  return std::vector<std::string>(argv, argv + argc);
}

// ---- Files and folders ----------------------------------------------------------------

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
  entries.clear();
  const std::optional<std::wstring> pattern = wide(joinPath(path, "*"));
  if (!pattern) return false;
  WIN32_FIND_DATAW record{};
  const FindHandle find(FindFirstFileW(pattern->c_str(), &record));
  if (!find.isOpen()) {
    setErrnoFromLastError();
    return false;
  }
  do {
    const bool folder = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries.push_back(
        FolderEntry{nativeName(record.cFileName), folder ? EntryKind::Folder : EntryKind::File});
  } while (FindNextFileW(find.get(), &record));
  if (GetLastError() != ERROR_NO_MORE_FILES) {
    setErrnoFromLastError();
    return false;
  }
  return true;
}

std::optional<FolderIdentity> folderIdentity(const std::string& path) {
  // Folders open only with the backup-semantics flag; no access right is needed to learn
  // the file index.
  const KernelHandle handle(createFile(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  if (!handle.isOpen()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
  const std::uint64_t index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // Some file systems give every file the index 0; that identifies nothing.
  if (index == 0) return std::nullopt;
  return FolderIdentity{info.dwVolumeSerialNumber, index};
}

std::optional<std::string> linkTarget(const std::string&) {
  // Listings report no links here (see listFolder), so no link's text is ever asked for.
  errno = EINVAL;
  return std::nullopt;
}

bool isFolder(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool pathExists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

namespace {

// Opens the file at `path` for reading (others may read and write it meanwhile) and learns
// its length; an invalid handle (errno set: EISDIR for a folder, EINVAL for what is no file
// on disk, such as a device or a pipe) when it is no regular file.
HANDLE openRegularForReading(const std::string& path, std::uint64_t& size) {
  KernelHandle file(createFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file.isOpen()) {
    setErrnoFromLastError();
    if (errno == EACCES && isFolder(path)) errno = EISDIR;
    return INVALID_HANDLE_VALUE;
  }
  // Only a file on disk has a size: a device (NUL, CON, a port) or a pipe has none.
  LARGE_INTEGER length{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &length) ||
      length.QuadPart < 0) {
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  size = static_cast<std::uint64_t>(length.QuadPart);
  return file.release();
}

}  // namespace

std::optional<std::uint64_t> fileSize(const std::string& path) {
  std::uint64_t size = 0;
  const KernelHandle file(openRegularForReading(path, size));
  if (!file.isOpen()) return std::nullopt;
  return size;
}

bool keepReplacedFileAttributes(std::FILE* /*file*/, const std::string& /*replacedPath*/) {
  return true;
}

bool replaceFile(const std::string& from, const std::string& to) {
  const std::optional<std::wstring> source = wide(from);
  const std::optional<std::wstring> target = wide(to);
  if (!source || !target) return false;
  if (MoveFileExW(source->c_str(), target->c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    return true;
  }
  setErrnoFromLastError();
  return false;
}

bool removeFile(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (DeleteFileW(name->c_str())) return true;
  setErrnoFromLastError();
  return false;
}

std::FILE* openForReading(const std::string& path, std::uint64_t& size) {
  std::uint64_t length = 0;
  KernelHandle file(openRegularForReading(path, length));
  if (!file.isOpen()) return nullptr;
  std::FILE* stream = streamOn(file, _O_RDONLY | _O_BINARY, "rb");
  if (stream != nullptr) size = length;
  return stream;
}

std::optional<std::string> archiveTarget(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  // Nothing there (or nothing that can be looked at): the writer creates the archive or
  // says why it cannot.
  if (attributes == INVALID_FILE_ATTRIBUTES) return path;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EINVAL;
    return std::nullopt;
  }
  // Opened with its links followed: what the name finally leads to must be a file on disk.
  KernelHandle file(createFile(path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file.isOpen()) {
    setErrnoFromLastError();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EINVAL;
    return std::nullopt;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
  std::wstring final(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(file.get(), final.data(),
                                                   static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED);
    if (length == 0) break;
    if (length < final.size()) {
      final.resize(length);
      std::optional<std::string> target = nativePath(withoutExtendedPrefix(final));
      if (!target) errno = ENAMETOOLONG;
      return target;
    }
    final.resize(length);
  }
  errno = ENAMETOOLONG;
  return std::nullopt;
}

std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal) {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32)};
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr int ATTEMPTS = 64;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::string name = stem + '.';
    std::uint64_t bits = generator();
    for (int i = 0; i < 8; ++i, bits /= 36) name += DIGITS[bits % 36];
    name += suffix;
    // CREATE_NEW fails on every existing name, a link included. FILE_SHARE_DELETE lets
    // an early end remove the file while it is still open.
    KernelHandle file(createFile(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
    if (!file.isOpen()) {
      if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
      setErrnoFromLastError();
      return nullptr;
    }
    std::FILE* stream = streamOn(file, _O_WRONLY | _O_BINARY, "wb");
    if (stream == nullptr) {
      const int error = errno;
      file.close();
      deleteFile(name);
      errno = error;
      return nullptr;
    }
    if (removal != nullptr) removal->track(name);
    createdPath = std::move(name);
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

bool makeNewFolder(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (CreateDirectoryW(name->c_str(), nullptr)) return true;
  setErrnoFromLastError();
  return false;
}

// ---- Ending early -------------------------------------------------------------------------

namespace {

// The files to remove on an early end, in fixed storage the console handler (run on a
// thread of its own) reads without allocating: a slot's path (the system's form, long ones
// with their prefix) is written before its mark.
constexpr int EARLY_END_SLOTS = 40;  // extraction writes up to 32 files at once
constexpr std::size_t EARLY_END_PATH_CAPACITY = 4096;
struct EarlyEndSlot {
  std::atomic<bool> used{false};
  wchar_t path[EARLY_END_PATH_CAPACITY] = {};
};
EarlyEndSlot earlyEndSlots[EARLY_END_SLOTS];

BOOL WINAPI removeRegisteredOnConsoleEnd(DWORD) {
  for (EarlyEndSlot& slot : earlyEndSlots) {
    if (slot.used.load(std::memory_order_acquire)) DeleteFileW(slot.path);
  }
  return FALSE;  // the system's own handling then ends the process
}

}  // namespace

// The process heap keeps freed blocks for reuse by itself.
void keepFreedBuffers() {}

void startWriteback(std::FILE*, std::uint64_t, std::uint64_t) {}

void installEarlyEndCleanup() {
  static const bool installed = SetConsoleCtrlHandler(removeRegisteredOnConsoleEnd, TRUE) != 0;
  static_cast<void>(installed);
}

void RemovedOnEarlyEnd::track(const std::string& path) {
  release();
  const std::optional<std::wstring> name = wide(path);
  if (!name || name->size() >= EARLY_END_PATH_CAPACITY) return;
  for (int i = 0; i < EARLY_END_SLOTS; ++i) {
    EarlyEndSlot& slot = earlyEndSlots[i];
    if (slot.used.load(std::memory_order_acquire)) continue;
    std::memcpy(slot.path, name->c_str(), (name->size() + 1) * sizeof(wchar_t));
    slot.used.store(true, std::memory_order_release);
    slot_ = i;
    return;
  }
}

void RemovedOnEarlyEnd::release() {
  if (slot_ >= 0) earlyEndSlots[slot_].used.store(false, std::memory_order_release);
  slot_ = -1;
}

// ---- The user -------------------------------------------------------------------------

FolderChoice chooseFolder(const char* titleCp932, const std::string& /*startFolder*/) {
  const ComApartment com;
  win32::FolderChooserSetup setup(titleCp932);
  const ItemIdList item(SHBrowseForFolderW(&setup.params()));
  FolderChoice choice;
  if (!item) return choice;  // cancelled
  std::array<wchar_t, MAX_PATH> path{};
  std::optional<std::string> native;
  if (SHGetPathFromIDListW(item.get(), path.data())) {
    native = nativePath(std::wstring_view(path.data()));
  }
  if (!native) {
    choice.result = FolderChoiceResult::NoFileSystemPath;
    return choice;
  }
  choice.path = std::move(*native);
  choice.result = FolderChoiceResult::Chosen;
  return choice;
}

FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder) {
  // The system resolves a drive-relative name ("D:x") against that drive's own current
  // folder, which only it knows; it resolves against the current directory, so it is asked
  // when that is the start folder.
  std::optional<std::string> full;
  if (!argument.empty() && currentDirectory() == startFolder) full = fullPathName(argument);
  if (!full) full = absolutePath(argument, startFolder);
  FolderChoice choice;
  choice.path = win32::withoutTrailingSeparators(*full, NATIVE_CODE_PAGE);
  choice.result = !argument.empty() && isFolder(choice.path) ? FolderChoiceResult::Chosen
                                                             : FolderChoiceResult::NoFileSystemPath;
  return choice;
}

std::optional<std::string> chooseSaveName(const char* titleCp932, const char* filterNameCp932,
                                          const std::string& preset,
                                          const std::string& /*startFolder*/) {
  const ComApartment com;
  win32::SaveDialogSetup setup(titleCp932, filterNameCp932, preset);
  // The dialog may move the current directory to the folder the user browsed to; the run
  // keeps its own.
  const std::optional<std::string> before = currentDirectory();
  const BOOL chosen = GetSaveFileNameW(&setup.params());
  if (before) changeDirectory(*before);
  if (!chosen) return std::nullopt;
  return setup.chosenName();
}

// The real dialogs and "pause" read no text input.
void setPromptInput(std::FILE* /*input*/) {}

const char* startFolderRefusal() { return MSG_START_FOLDER_REFUSED; }

namespace {
std::atomic<bool> keyWaitedFor{false};
}  // namespace

void waitForKey() {
  std::fflush(stdout);
  keyWaitedFor = true;
  static_cast<void>(std::system("pause"));
}

void keepConsoleOpenAtExit() {
  if (keyWaitedFor) return;
  DWORD processes[2] = {};
  DWORD inputMode = 0;
  const bool inputIsConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &inputMode) != 0;
  if (win32::consoleClosesWithProcess(GetConsoleProcessList(processes, 2), inputIsConsole)) {
    waitForKey();
  }
}

// ---- Extracting below a target folder --------------------------------------------------

namespace {

// Opens the folder `path` itself, a reparse point as such. Without FILE_SHARE_DELETE, the
// folder can be neither renamed nor removed (and so not swapped for a link) while the
// handle is held.
HANDLE openFolderWithoutFollowing(const std::string& path) {
  return createFile(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

CreatedFile failure(int errorNumber) {
  CreatedFile outcome;
  outcome.result = CreateBelowResult::Failed;
  outcome.errorNumber = errorNumber;
  return outcome;
}

CreatedFile refusal(CreateBelowResult result) {
  CreatedFile outcome;
  outcome.result = result;
  return outcome;
}

bool isReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Makes the folder `path`; true also when something of that name exists already (the caller
// looks at what it is). False with errno set otherwise.
bool createFolder(const std::string& path) {
  const std::optional<std::wstring> name = wide(path);
  if (!name) return false;
  if (CreateDirectoryW(name->c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  setErrnoFromLastError();
  return false;
}

}  // namespace

bool makeFolders(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (isFolder(path)) return true;
  const std::string parent = win32::parentFolder(path, NATIVE_CODE_PAGE);
  if (!parent.empty() && parent != path && !makeFolders(parent)) return false;
  if (!createFolder(path)) return false;
  if (!isFolder(path)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

struct StagedFile::Native {
  std::vector<std::unique_ptr<KernelHandle>> heldFolders;  // kept from being swapped for links
  std::string temporaryPath;
  std::string path;
  bool replace = false;
  std::FILE* stream = nullptr;
  bool placed = false;
};

namespace {

// A name no other run picks: ".kupack-" and 16 random hexadecimal digits.
std::string temporaryFileName() {
  // One generator a thread: extraction makes files on several threads at once.
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                                   GetTickCount64()};
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string name = ".kupack-";
  std::uint64_t bits = generator();
  for (int i = 0; i < 16; ++i, bits >>= 4) name += DIGITS[bits & 0xF];
  return name + ".part";
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
  bool done = std::fclose(std::exchange(file.stream, nullptr)) == 0;
  if (done) {
    // A rename replaces a link at the name as a name; the file it led to stays as it was.
    const std::optional<std::wstring> from = wide(file.temporaryPath);
    const std::optional<std::wstring> to = wide(file.path);
    done = from && to &&
           MoveFileExW(from->c_str(), to->c_str(), file.replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!done && from && to) setErrnoFromLastError();
  }
  if (!done) {
    const int error = errno;
    deleteFile(file.temporaryPath);
    errno = error;
    return false;
  }
  file.placed = true;
  file.heldFolders.clear();
  return true;
}

void StagedFile::discard() {
  if (!native_ || native_->placed) return;
  const int error = errno;
  if (native_->stream != nullptr) std::fclose(std::exchange(native_->stream, nullptr));
  deleteFile(native_->temporaryPath);
  native_->placed = true;  // nothing left to remove
  native_->heldFolders.clear();
  errno = error;
}

CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace) {
  if (levels.empty()) return failure(EINVAL);
  for (const std::string& level : levels) {
    if (!win32::isLiteralFileName(level, NATIVE_CODE_PAGE)) return failure(EINVAL);
  }
  if (!isFolder(root)) return failure(pathExists(root) ? ENOTDIR : ENOENT);

  // Every level stays open until the file has been created.
  std::vector<std::unique_ptr<KernelHandle>> held;
  std::string folder = root;
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    folder = joinPath(folder, levels[i]);
    if (!createFolder(folder)) return failure(errno);
    auto handle = std::make_unique<KernelHandle>(openFolderWithoutFollowing(folder));
    if (!handle->isOpen()) {
      setErrnoFromLastError();
      return failure(errno);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle->get(), &info)) {
      setErrnoFromLastError();
      return failure(errno);
    }
    if (isReparsePoint(info.dwFileAttributes)) return refusal(CreateBelowResult::ThroughLink);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return refusal(CreateBelowResult::NotAFolder);
    }
    held.push_back(std::move(handle));
  }

  const std::string path = joinPath(folder, levels.back());
  const DWORD existing = attributesOf(path);  // a link's own, if one
  if (existing != INVALID_FILE_ATTRIBUTES) {
    if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0) return failure(EISDIR);
    if (!replace) {
      return refusal(isReparsePoint(existing) ? CreateBelowResult::ThroughLink
                                              : CreateBelowResult::Exists);
    }
  }
  // The temporary file is new: made exclusively, so no link or other file is ever opened.
  auto native = std::make_unique<StagedFile::Native>();
  HANDLE raw = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && raw == INVALID_HANDLE_VALUE; ++attempt) {
    native->temporaryPath = joinPath(folder, temporaryFileName());
    raw = createFile(native->temporaryPath, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (raw == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      setErrnoFromLastError();
      return failure(errno);
    }
  }
  if (raw == INVALID_HANDLE_VALUE) return failure(EEXIST);
  KernelHandle file(raw);
  native->stream = streamOn(file, _O_WRONLY | _O_BINARY, "wb");
  if (native->stream == nullptr) {
    const int error = errno;
    file.close();
    deleteFile(native->temporaryPath);
    return failure(error);
  }
  native->path = path;
  native->replace = replace;
  native->heldFolders = std::move(held);
  CreatedFile outcome;
  outcome.result = CreateBelowResult::Created;
  outcome.file = StagedFile(std::move(native));
  return outcome;
}

}  // namespace kupack::platform

// ---- Files held open while they are served -------------------------------------------

namespace kupack::platform {
namespace {

HANDLE heldHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

struct HeldFileFacts {
  std::uint64_t device = 0;
  std::uint64_t fileNumber = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
};

bool factsOf(HANDLE handle, HeldFileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  facts.device = info.dwVolumeSerialNumber;
  facts.fileNumber = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.modified =
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                info.ftLastWriteTime.dwLowDateTime);
  return true;
}

OVERLAPPED overlappedAt(std::uint64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  return at;
}

constexpr std::size_t MAX_WIN32_PIECE = 1u << 30;

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
  if (handle_ != -1) CloseHandle(heldHandle(handle_));
  handle_ = -1;
}

bool HeldFile::isOpen() const { return handle_ != -1; }

bool HeldFile::openForReading(const std::string& path) {
  close();
  HANDLE raw = createFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (raw == INVALID_HANDLE_VALUE) {
    setErrnoFromLastError();
    return false;
  }
  KernelHandle file(raw);
  HeldFileFacts facts;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !factsOf(file.get(), facts)) {
    errno = EINVAL;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  device_ = facts.device;
  fileNumber_ = facts.fileNumber;
  size_ = facts.size;
  modified_ = facts.modified;
  return true;
}

bool HeldFile::openUnnamedTemporary() {
  close();
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"kup", 0, name) == 0) {
    setErrnoFromLastError();
    return false;
  }
  HANDLE raw = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (raw == INVALID_HANDLE_VALUE) {
    setErrnoFromLastError();
    DeleteFileW(name);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(raw);
  return true;
}

void HeldFile::willRead(std::uint64_t, std::uint64_t) const {}

bool HeldFile::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto piece = static_cast<DWORD>(std::min(buffer.size() - done, MAX_WIN32_PIECE));
    OVERLAPPED at = overlappedAt(position + done);
    DWORD got = 0;
    if (!ReadFile(heldHandle(handle_), buffer.data() + done, piece, &got, &at)) {
      setErrnoFromLastError();
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    done += got;
  }
  return true;
}

bool HeldFile::writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto piece = static_cast<DWORD>(std::min(bytes.size() - done, MAX_WIN32_PIECE));
    OVERLAPPED at = overlappedAt(position + done);
    DWORD put = 0;
    if (!WriteFile(heldHandle(handle_), bytes.data() + done, piece, &put, &at) || put == 0) {
      setErrnoFromLastError();
      return false;
    }
    done += put;
  }
  return true;
}

std::int64_t HeldFile::modifiedUnixSeconds() const {
  constexpr std::int64_t TICKS_PER_SECOND = 10000000;
  constexpr std::int64_t SECONDS_FROM_1601_TO_1970 = 11644473600;
  return modified_ / TICKS_PER_SECOND - SECONDS_FROM_1601_TO_1970;
}

bool HeldFile::stillNamedBy(const std::string& path) const {
  HeldFile named;
  HeldFileFacts now;
  HeldFileFacts held;
  if (!named.openForReading(path) || !factsOf(heldHandle(named.handle_), now) ||
      !factsOf(heldHandle(handle_), held)) {
    return false;
  }
  const auto same = [this](const HeldFileFacts& facts) {
    return facts.device == device_ && facts.fileNumber == fileNumber_ && facts.size == size_ &&
           facts.modified == modified_;
  };
  return same(now) && same(held);
}

bool HeldFile::unchangedWhileHeld() const {
  BY_HANDLE_FILE_INFORMATION info{};
  HeldFileFacts held;
  if (!GetFileInformationByHandle(heldHandle(handle_), &info) ||
      !factsOf(heldHandle(handle_), held)) {
    return false;
  }
  return info.nNumberOfLinks > 0 && held.size == size_ && held.modified == modified_;
}

}  // namespace kupack::platform
