// The file layer's look-ups by name on Windows.
#include <windows.h>

#include <vector>

#include "platform/file.h"
#include "platform/win32_text.h"

namespace kupack::platform {
namespace {

std::wstring fullPathOf(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);  // too small: `length` is the capacity needed
  }
  return path;
}

}  // namespace

std::optional<std::uint64_t> regularFileLength(const std::string& path) {
  const std::optional<std::wstring> name = win32::systemPath(path, fullPathOf);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!name || !GetFileAttributesExW(name->c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace kupack::platform
