// Paths on Windows: '\' between levels, made absolute code page aware, the current
// directory through the system's Unicode calls.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/internal_win32.h"
#include "platform/paths.h"
#include "platform/win32_text.h"

namespace kupack::platform {

// The extended-length prefix taken off a path the system gave back.
std::wstring withoutExtendedPrefix(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

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


// A whole path from the system, or nullopt (errno EILSEQ) when it has no UTF-8 form.
std::optional<std::string> nativePath(std::wstring_view path) {
  std::optional<std::string> native = win32::nativeFromSystem(path);
  if (!native) errno = EILSEQ;
  return native;
}

std::optional<std::string> fullPathName(const std::string& path) {
  const std::optional<std::wstring> name = win32::toWide(path, CP_UTF8, true);
  if (!name) return std::nullopt;
  return nativePath(systemFullPath(*name));
}

}  // namespace kupack::platform
