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
  if (!name) return std::nullopt;
  // Opened for no access at all, only to be looked at: a device (NUL, CON, a port) has a name
  // like a file's and only its handle shows that it is none; a folder does not open this way.
  const HANDLE handle = CreateFileW(name->c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER length{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &length) &&
                       length.QuadPart >= 0;
  CloseHandle(handle);
  if (!regular) return std::nullopt;
  return static_cast<std::uint64_t>(length.QuadPart);
}

}  // namespace kupack::platform
