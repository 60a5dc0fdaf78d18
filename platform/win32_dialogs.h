// The parameter blocks of the folder chooser and the save dialog, filled in place with the
// buffers they point to, so that what the dialogs are given can be checked without showing
// them. Used by win32.cpp and the Windows tests only.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h comes first: the shell and dialog headers build on its types.
#include <commdlg.h>
#include <shlobj.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace kupack::platform::win32 {

// The save dialog's structure size: the layout without the three fields that later versions
// of the system appended (76 bytes in a 32-bit program, the same layout's 136 in a 64-bit one).
inline constexpr DWORD SAVE_DIALOG_STRUCT_SIZE = static_cast<DWORD>(
    offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(OPENFILENAMEW::lpTemplateName));
static_assert(sizeof(void*) != 4 || SAVE_DIALOG_STRUCT_SIZE == 76);

// Capacity, in UTF-16 units, of the archive-name buffer that the save dialog reads its preset
// from and writes the chosen name into.
inline constexpr std::size_t ARCHIVE_NAME_CAPACITY = 256;

// The extension that the save dialog adds to a name typed without one.
inline constexpr wchar_t ARCHIVE_EXTENSION[] = L"kup";

// The chooser's parameters (the Unicode form; the title converted from UTF-8): no
// owner, the whole shell namespace from the desktop, only file-system folders can be
// confirmed, no callback.
class FolderChooserSetup {
 public:
  explicit FolderChooserSetup(const char* title);
  FolderChooserSetup(const FolderChooserSetup&) = delete;
  FolderChooserSetup& operator=(const FolderChooserSetup&) = delete;

  BROWSEINFOW& params() { return params_; }
  // Receives the chosen item's display name (which the run does not use).
  std::array<wchar_t, MAX_PATH>& folderBuffer() { return folder_; }

 private:
  std::wstring title_;
  std::array<wchar_t, MAX_PATH> folder_{};
  BROWSEINFOW params_{};
};

// The filter list of the save dialog: the display text (from UTF-8), NUL, "*.kup",
// NUL, and the NUL of the empty string that ends the list.
std::wstring saveDialogFilter(const char* filterName);

// The save dialog's parameters (the Unicode form): the archive-name buffer preset with the
// native `preset` (cut to fit), the one filter shown first, flags OFN_OVERWRITEPROMPT |
// OFN_HIDEREADONLY, default extension.
class SaveDialogSetup {
 public:
  SaveDialogSetup(const char* title, const char* filterName, const std::string& preset);
  SaveDialogSetup(const SaveDialogSetup&) = delete;
  SaveDialogSetup& operator=(const SaveDialogSetup&) = delete;

  OPENFILENAMEW& params() { return params_; }
  const std::array<wchar_t, ARCHIVE_NAME_CAPACITY>& nameBuffer() const { return name_; }
  // The archive-name buffer up to its first NUL, as a native name (nullopt for a lone
  // surrogate, which names no file).
  std::optional<std::string> chosenName() const;

 private:
  std::wstring title_;
  std::wstring filter_;
  std::array<wchar_t, ARCHIVE_NAME_CAPACITY> name_{};
  OPENFILENAMEW params_{};
};

}  // namespace kupack::platform::win32
