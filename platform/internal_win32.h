// What the Windows files of the platform layer share among themselves: code page
// conversions through UTF-16, the system's error as errno, native paths as the system's
// (long ones with the extended-length prefix), and kernel handles closed with their owner.
// Only platform/*_win32.cpp include it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_text.h"

namespace kupack::platform {
namespace win32 {

// `text` in `codePage` as UTF-16; with `strict`, nullopt for bytes that are no character
// there (otherwise each becomes U+FFFD).
std::optional<std::wstring> toWide(std::string_view text, unsigned codePage, bool strict);

// `wide` in `codePage`, never with a look-alike for a character that has no form there:
// with `strict` such a character makes it nullopt, otherwise it becomes '?'.
std::optional<std::string> fromWide(std::wstring_view wide, unsigned codePage, bool strict);

}  // namespace win32

using win32::NATIVE_CODE_PAGE;

// ---- Defined with the files (files_win32.cpp) ----------------------------------------

// Sets errno from the thread's last Windows error, for callers that report with strerror.
void setErrnoFromLastError();

// `path` as the system's GetFullPathNameW makes it absolute; `path` itself when that fails.
std::wstring systemFullPath(const std::wstring& path);

// A native path for the system's "W" calls (see win32::systemPath); nullopt with errno
// EILSEQ for bytes that are no UTF-8, which name no file.
std::optional<std::wstring> wide(const std::string& path);

DWORD attributesOf(const std::string& path);

HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags);

bool deleteFile(const std::string& path);

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

// A stream on an open handle, which it then owns; nullptr (errno set, the handle closed)
// when the runtime cannot take it.
std::FILE* streamOn(KernelHandle& file, int openFlags, const char* mode);

// ---- Defined with the paths (paths_win32.cpp) ----------------------------------------

// A whole path from the system, or nullopt (errno EILSEQ) when it has no UTF-8 form.
std::optional<std::string> nativePath(std::wstring_view path);

// The extended-length prefix taken off a path the system gave back.
std::wstring withoutExtendedPrefix(std::wstring path);

// `path` made absolute as the system does (GetFullPathNameW), or nullopt (errno EILSEQ).
std::optional<std::string> fullPathName(const std::string& path);

}  // namespace kupack::platform
