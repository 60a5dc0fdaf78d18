// What the system offers for asking the user: its own folder chooser, save dialog and key
// wait where it has them (Windows), and a folder named by the user made a chosen folder.
// The console questions that stand in for them elsewhere are the program's (app/).
#pragma once

#include <optional>
#include <string>

namespace kupack::platform {

enum class FolderChoiceResult {
  Chosen,            // `path` holds the chosen folder's absolute path
  Cancelled,         // the user cancelled
  NoFileSystemPath,  // the chosen item is not a folder of the file system
};

struct FolderChoice {
  FolderChoiceResult result = FolderChoiceResult::Cancelled;
  std::string path;
};

// A folder named on the command line (or typed as the chooser's answer), made absolute
// against `startFolder` and normalized (absolutePath). On POSIX an existing folder is then
// given with its links resolved (realpath), as the start folder from currentDirectory() has
// none, so that no spelling of the start folder passes as another folder. An argument that
// is no existing folder gives NoFileSystemPath with the normalized path in `path` (an empty
// argument names no folder: NoFileSystemPath).
FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder);

// True where the system has a folder chooser, a save dialog and a key wait of its own
// (Windows); elsewhere the program asks at the console.
bool hasSystemDialogs();

// The system's folder chooser with its title (console text, UTF-8). Only where hasSystemDialogs();
// elsewhere it shows nothing and gives Cancelled.
FolderChoice showFolderChooser(const char* title);

// The system's save dialog with its title and filter name (console text, UTF-8), preset with
// `preset`: the chosen full path (".kup" added to a name typed without an extension; the
// user has agreed to replace an existing file), or nullopt when the user cancelled. The run's
// current directory is kept. Only where hasSystemDialogs(); elsewhere nullopt.
std::optional<std::string> showSaveDialog(const char* title, const char* filterName,
                                          const std::string& preset);

// The system's own wait for a key, with its own prompt ("pause" on Windows). Only where
// hasSystemDialogs(); elsewhere it does nothing.
void systemKeyWait();

// True where an interactive run starts in the program's own folder (Windows, started from
// Explorer); elsewhere the start folder is where the run keeps its temporary files.
bool startsInProgramFolder();

// Called as the program ends: when the console window would close with this process (on
// Windows: the process is the only one on its console, as when Explorer started it for a
// double-click or a drop), waits for a key, unless systemKeyWait already ran. Run from a
// console or a script, and on POSIX, it never waits.
void keepConsoleOpenAtExit();

}  // namespace kupack::platform
