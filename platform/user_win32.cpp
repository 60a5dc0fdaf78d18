// What Windows offers for asking the user: the shell's folder chooser, the common save
// dialog and the command interpreter's "pause", and a folder named by the user.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/internal_win32.h"
#include "platform/paths.h"
#include "platform/folders.h"
#include "platform/user.h"
#include "platform/win32_dialogs.h"
#include "platform/win32_text.h"

namespace kupack::platform {

namespace win32 {

// ---- Dialog parameters ----------------------------------------------------------------

FolderChooserSetup::FolderChooserSetup(const char* title)
    : title_(toWide(title, CP_UTF8, false).value_or(std::wstring())) {
  params_.hwndOwner = nullptr;
  params_.pidlRoot = nullptr;
  params_.pszDisplayName = folder_.data();
  params_.lpszTitle = title_.c_str();
  params_.ulFlags = BIF_RETURNONLYFSDIRS;
  params_.lpfn = nullptr;
  params_.lParam = 0;
}

std::wstring saveDialogFilter(const char* filterName) {
  std::wstring filter = toWide(filterName, CP_UTF8, false).value_or(std::wstring());
  filter += L'\0';
  filter += L"*.kup";
  filter += L'\0';
  filter += L'\0';
  return filter;
}

SaveDialogSetup::SaveDialogSetup(const char* title, const char* filterName,
                                 const std::string& preset)
    : title_(toWide(title, CP_UTF8, false).value_or(std::wstring())),
      filter_(saveDialogFilter(filterName)) {
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

std::atomic<bool> keyWaitedFor{false};

}  // namespace

bool hasSystemDialogs() { return true; }

FolderChoice showFolderChooser(const char* title) {
  const ComApartment com;
  win32::FolderChooserSetup setup(title);
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

std::optional<std::string> showSaveDialog(const char* title, const char* filterName,
                                          const std::string& preset) {
  const ComApartment com;
  win32::SaveDialogSetup setup(title, filterName, preset);
  // The dialog may move the current directory to the folder the user browsed to; the run
  // keeps its own.
  const std::optional<std::string> before = currentDirectory();
  const BOOL chosen = GetSaveFileNameW(&setup.params());
  if (before) changeDirectory(*before);
  if (!chosen) return std::nullopt;
  return setup.chosenName();
}

void systemKeyWait() {
  std::fflush(stdout);
  keyWaitedFor = true;
  static_cast<void>(std::system("pause"));
}

// An interactive run starts in the folder Explorer started the program from: its own.
bool startsInProgramFolder() { return true; }

void keepConsoleOpenAtExit() {
  if (keyWaitedFor) return;
  DWORD processes[2] = {};
  DWORD inputMode = 0;
  const bool inputIsConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &inputMode) != 0;
  if (win32::consoleClosesWithProcess(GetConsoleProcessList(processes, 2), inputIsConsole)) {
    systemKeyWait();
  }
}

}  // namespace kupack::platform
