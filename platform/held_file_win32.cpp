// Files held open on Windows: read and written at positions while a mount serves them, and
// checked to be still the file that was opened.
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

#include "platform/internal_win32.h"
#include "platform/file.h"
#include "platform/held_file.h"
#include "platform/platform.h"
#include "platform/win32_text.h"

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

bool namesPipe(const std::string&) { return false; }

Status readPipeToEnd(const std::string& path, std::uint64_t, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  return fileFailure(Status::Code::CannotOpen, path, EINVAL);
}

}  // namespace kupack::platform
