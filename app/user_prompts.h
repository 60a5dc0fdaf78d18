// The run's questions to the user: the folder to pack, the archive's name and the key wait
// at the end. Where the system has dialogs of its own (Windows) they are shown; elsewhere the
// console asks, one line of standard input per answer, so that scripts can answer them.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace kupack {

// The folder chooser with its title (console text, UTF-8). At the console: the title, then one
// line; an empty line or the end of input cancels; the answer is taken as
// platform::folderFromArgument takes a folder named on the command line.
platform::FolderChoice promptForFolder(const char* title, const std::string& startFolder);

// The save dialog with its title and filter name (console text, UTF-8), preset with `preset`.
// Returns the chosen full path (".kup" added to a name typed without an extension; the
// user has agreed to replace an existing file), or nullopt when the user cancelled.
// At the console: the title and "<filter> (*.kup) [<preset>]", then one line; an empty line
// or the end of input cancels. A name without a dot after the first character of its last
// component gets ".kup"; a relative name is taken in `startFolder`; the result is
// normalized. A folder is refused and the name asked again; for an existing entry a line
// answers the replace question ("y" or "yes", any case, agrees; anything else and the end
// of input refuse), and on refusal the name is asked again.
std::optional<std::string> promptForArchiveName(const char* title,
                                                const char* filterName,
                                                const std::string& preset,
                                                const std::string& startFolder);

// Waits for a key after the closing message: the system's own wait where it has one
// ("pause" on Windows); at the console the prompt and one key when the input is a terminal
// (read raw, then a line feed), otherwise nothing at all, so that scripts never wait.
void waitForKey();

// The interactive run's refusal to pack the folder it was started in, as console text
// naming the reason: on Windows it is the program's own folder (a double-click starts it
// there); elsewhere it is only the folder the command was given in.
const char* startFolderRefusal();

// For tests: the console questions read from `input` instead of standard input; nullptr
// restores standard input. The caller keeps ownership. The system's dialogs ignore it.
void setPromptInput(std::FILE* input);

}  // namespace kupack
