// Everything kupack takes from the operating system, behind one small interface:
// current directory, directory listing, file sizes, the folder chooser and save dialog
// (or their console stand-ins), the key wait, console output and file-name code pages.
// posix.cpp and win32.cpp implement it; no other folder tests the platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kupack::platform {

// ---- Paths --------------------------------------------------------------------------
// Native paths are UTF-8 (on POSIX the file system's own bytes, which are UTF-8 or, for
// names made elsewhere, any bytes; on Windows the system's UTF-16 names converted, whatever
// its ANSI code page). The archive works in code page 932 names with '\' between folder levels.

// The native folder separator ('/' on POSIX, '\\' on Windows).
char nativeSeparator();

// `folder` joined with `name` by one native separator (none added when `folder` already
// ends in one, as a drive root does).
std::string joinPath(const std::string& folder, const std::string& name);

// The absolute path of the current directory, or nullopt when it cannot be learned.
std::optional<std::string> currentDirectory();

// Makes `path` the current directory; false (errno set) when that fails.
bool changeDirectory(const std::string& path);

// `path` made absolute against `base` and normalized: no "." or ".." component, no
// repeated or trailing separator (except a root's own). Nothing is looked up on disk, so
// ".." removes the component before it even when that is a link; ".." at the root stays
// at the root.
std::string absolutePath(const std::string& path, const std::string& base);

// ---- Names and console text ---------------------------------------------------------

// A native file name as code page 932 bytes, or nullopt when it has no CP932 form
// (a UTF-8 name is converted, and only when converting back gives the very same name, so
// that no two names meet and no sign such as U+00A5 turns into a '\'; on POSIX a non-UTF-8
// name that is well-formed CP932 is taken as it is; anything else is refused).
std::optional<std::string> nativeNameToCp932(std::string_view native);

// A code page 932 name as a native name (CP932 to UTF-8), or nullopt when the bytes are not
// well-formed CP932. It undoes nativeNameToCp932 for UTF-8 names (not for names that were
// CP932 bytes on a POSIX disk already).
std::optional<std::string> cp932ToNativeName(std::string_view cp932);

// A native string (a path, an error text) as code page 932 console text: converted where
// possible, characters without a CP932 form replaced by '?'. For display only.
std::string nativeToConsoleText(std::string_view native);

// Writes code page 932 console text to standard output, as the terminal expects it
// (on POSIX converted to UTF-8 when the locale's character set is UTF-8; bytes that do
// not convert are written as they are), and flushes.
void writeConsole(std::string_view cp932);

// Writes code page 932 console text to standard error, the same way (on Windows a console
// shows it as it shows standard output).
void writeConsoleError(std::string_view cp932);

// True when standard output is a terminal (a console window on Windows), not a file or pipe.
bool outputIsTerminal();

// Code page 932 text as UTF-8 (on Windows through UTF-16); bytes that are no code page 932
// character are kept as they are (POSIX) or become U+FFFD (Windows).
std::string cp932ToUtf8Text(std::string_view cp932);

// True when the UTF-8 text `text` matches the shell pattern `pattern` (UTF-8): '*' any run
// of characters, '?' one character, '[...]' one of a set (ranges, '!' or '^' first negates,
// ']' first is itself); no escape character, '/' and '.' are ordinary characters, letters
// compared exactly. fnmatch(3) on POSIX, the same rules on Windows.
bool wildcardMatches(const std::string& pattern, const std::string& text);

// Makes standard output fit for raw file bytes: binary mode on Windows; on POSIX a reader
// that goes away makes writes fail with EPIPE instead of ending the process.
void prepareOutputForBytes();

// The program's arguments as native strings: `argv` itself on POSIX; on Windows the
// system's UTF-16 command line converted (the runtime's `argv` has look-alikes or '?' for
// every character the ANSI code page lacks), `argv` only when that cannot be had.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// True where the file system takes some names as devices (CON, NUL, COM1, ...), some
// characters (':') as the start of a stream name, and drops a trailing dot or space
// (Windows): names that must never be made from an archive there.
bool reservesDeviceNames();

// ---- Files and folders --------------------------------------------------------------

enum class EntryKind { File, Folder, Other };

struct FolderEntry {
  std::string name;  // native name, no folder part
  EntryKind kind;    // a link is reported as what it leads to; sockets, pipes, devices: Other
  bool link = false;  // a symbolic link (POSIX; Windows reports none)
  // For a link that cannot be followed (dangling: ENOENT, a loop of links: ELOOP, ...): the
  // errno of the failure, and `kind` is Other. 0 otherwise.
  int linkError = 0;
};

// Lists the folder at `path`, "." and ".." included, in the order the platform's own
// file system lists it (on POSIX: "." and ".." first, then the order NTFS would give:
// names compared by UTF-16 code units, each upper-cased by a fixed table, case-sensitive
// on a tie; CP932 names by their Unicode form; names with none last, by bytes), so that
// archives are the same everywhere. Returns false (errno set) when it cannot be read.
bool listFolder(const std::string& path, std::vector<FolderEntry>& entries);

// Identifies a folder on its device, to notice a link that leads back into a walk.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};
std::optional<FolderIdentity> folderIdentity(const std::string& path);

// The text a symbolic link at `path` holds (where it leads, as written), or nullopt (errno
// set) when `path` is no link or cannot be read.
std::optional<std::string> linkTarget(const std::string& path);

// True when `path` names an existing folder (a link to one counts).
bool isFolder(const std::string& path);

// True when `path` names something that exists (on POSIX a dangling link counts).
bool pathExists(const std::string& path);

// The length of the file at `path`, learned through a read-only descriptor, or nullopt
// (errno set) when it cannot be opened or is no regular file (a folder, pipe or device:
// on POSIX EISDIR or EINVAL; a pipe is never waited for).
std::optional<std::uint64_t> fileSize(const std::string& path);

// Replaces `to` with `from` in one step; false (errno set) on failure.
bool replaceFile(const std::string& from, const std::string& to);

// Gives the open `file`, written to replace the file at `replacedPath`, that file's
// permissions and, as far as this process may set them, its owner and group (the set-user
// and set-group bits only with both kept), so that the replacement keeps them as editors
// do. True, doing nothing, when nothing is at `replacedPath` (a new file keeps the mode the
// umask gave it), and on Windows, where the new file keeps the access its folder gives.
// False (errno set) only when the permissions could not be set and `file` would let more
// users in than the old file did.
bool keepReplacedFileAttributes(std::FILE* file, const std::string& replacedPath);

// Opens the regular file at `path` for binary reading and sets `size` to the length of the
// file just opened (learned from the open file itself, so that no other file can have
// taken the name in between). nullptr (errno set) when it cannot be opened or is no
// regular file (a folder: EISDIR; a pipe or device: EINVAL; a pipe is never waited for).
std::FILE* openForReading(const std::string& path, std::uint64_t& size);

// Where an archive named `path` is to be written: `path` itself when nothing is there or a
// regular file is; the file a symbolic link there leads to when that is a regular file (the
// archive replaces the file, the link stays). nullopt (errno set: EINVAL for something that
// is no regular file, ENOENT for a dangling link) when the name cannot take an archive.
// A name that cannot be looked at is given back as it is, for the writer to report.
std::optional<std::string> archiveTarget(const std::string& path);

// ---- Memory --------------------------------------------------------------------------

// A packing run allocates and frees buffers of megabytes for each entry (the coder's window
// and tables, a picture, coded bytes waiting for their turn). From now on, freed blocks of
// up to 32 MiB are kept by the process for the next entry instead of being handed back to the
// system, whose fresh pages would have to be faulted in and cleared again; and all threads
// allocate from one heap, so that what one thread freed serves the next. The process then
// holds no more than its peak. Does nothing where the allocator has no such setting. To be
// called before any thread is started.
void keepFreedBuffers();

// Starts writing bytes `from` to `to` of `file` (written so far) out to its disk without
// waiting for them. For an archive that will replace another: the rename over the old one
// makes the file system write out whatever is still unwritten before the rename returns, so
// bytes sent on their way while the run goes on shorten that wait. Does nothing where the
// system offers no such call.
void startWriteback(std::FILE* file, std::uint64_t from, std::uint64_t to);

// ---- Ending early -------------------------------------------------------------------

// From now on an interrupt, a termination request or a hang-up (on Windows: Ctrl-C,
// Ctrl-Break, closing the console) removes every file registered below and then ends the
// process as the signal would have; a console whose reader has gone (SIGPIPE) no longer
// ends the process, its writes just fail. A further signal while the files are being
// removed waits for that to finish; once the cleanup has begun no file is made any more.
// Safe to call more than once. Extraction's temporary files (StagedFile) are registered
// too while they are open.
void installEarlyEndCleanup();

// For tests (POSIX): `observer` is called from the early end's signal handler when its
// cleanup starts, before anything is removed, and when a further signal arrives while it
// runs; nullptr for none. It must do only what a signal handler may.
enum class EarlyEndMoment { CleanupStarts, FurtherSignal };
void setEarlyEndObserver(void (*observer)(EarlyEndMoment));

// Registers a file to be removed if the process ends early (see installEarlyEndCleanup)
// for as long as this object lives. A fixed number of files can be registered at once;
// beyond that, or for a path longer than the system's limit, nothing is registered.
class RemovedOnEarlyEnd {
 public:
  RemovedOnEarlyEnd() = default;
  explicit RemovedOnEarlyEnd(const std::string& path) { track(path); }
  ~RemovedOnEarlyEnd() { release(); }
  RemovedOnEarlyEnd(const RemovedOnEarlyEnd&) = delete;
  RemovedOnEarlyEnd& operator=(const RemovedOnEarlyEnd&) = delete;

  // Registers `path` (after releasing whatever was registered before).
  void track(const std::string& path);
  // Registers nothing any more.
  void release();

 private:
  int slot_ = -1;
};

// Creates a new, empty file for binary writing named `stem` + "." + random characters +
// `suffix`, exclusively (a name that exists, a link included, is never opened: another name
// is tried) and readable by others as a new file normally is. Sets `createdPath` to its name
// and, with `removal`, registers it there in the same step, so that an early end never
// leaves it behind. nullptr (errno set) when no file could be made.
std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal = nullptr);

// Deletes a file; false (errno set) on failure. A missing file counts as failure.
bool removeFile(const std::string& path);

// Makes the new, empty folder `path` (its parent must exist); false (errno set: EEXIST when
// anything, a link included, has the name already) otherwise. Never takes an existing one.
bool makeNewFolder(const std::string& path);

// ---- The user -----------------------------------------------------------------------

enum class FolderChoiceResult {
  Chosen,            // `path` holds the chosen folder's absolute path
  Cancelled,         // the user cancelled
  NoFileSystemPath,  // the chosen item is not a folder of the file system
};

struct FolderChoice {
  FolderChoiceResult result = FolderChoiceResult::Cancelled;
  std::string path;
};

// The folder chooser with its title (code page 932). On POSIX: the title, then one line
// from standard input; an empty line or the end of input cancels; the answer is made
// absolute against `startFolder` and normalized (absolutePath); an existing folder is then
// given with its links resolved (realpath), as the start folder from currentDirectory()
// has none, so that no spelling of the start folder passes as another folder. An answer
// that is no existing folder gives NoFileSystemPath with the normalized answer in `path`.
FolderChoice chooseFolder(const char* titleCp932, const std::string& startFolder);

// A folder named on the command line, treated like the chooser's answer (an empty
// argument names no folder: NoFileSystemPath).
FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder);

// The save dialog with its title and filter name (code page 932), preset with `preset`.
// Returns the chosen full path (".kup" added to a name typed without an extension; the
// user has agreed to replace an existing file), or nullopt when the user cancelled.
// On POSIX: the title and "<filter> (*.kup) [<preset>]", then one line from standard
// input; an empty line or the end of input cancels. A name without a dot after the first
// character of its last component gets ".kup"; a relative name is taken in `startFolder`;
// the result is normalized. A folder is refused and the name asked again; for an existing
// entry a line answers the replace question ("y" or "yes", any case, agrees; anything else
// and the end of input refuse), and on refusal the name is asked again.
std::optional<std::string> chooseSaveName(const char* titleCp932, const char* filterNameCp932,
                                          const std::string& preset,
                                          const std::string& startFolder);

// Waits for a key after the closing message: "pause" on Windows; on POSIX the prompt and
// one key when standard input is a terminal (read raw, the terminal's mode restored, then
// a line feed), otherwise nothing at all, so that scripts never wait.
void waitForKey();

// Called as the program ends: when the console window would close with this process (on
// Windows: the process is the only one on its console, as when Explorer started it for a
// double-click or a drop), waits for a key, unless waitForKey already ran. Run from a
// console or a script, and on POSIX, it never waits.
void keepConsoleOpenAtExit();

// The interactive run's refusal to pack the folder it was started in, as console text
// naming the platform's reason (Windows: the program's own folder; POSIX: the folder of
// the temporary files).
const char* startFolderRefusal();

// For tests: the console stand-ins (chooser, save name, key wait) read from `input`
// instead of standard input; nullptr restores standard input. The caller keeps ownership.
// The Windows dialogs do not read input and ignore it.
void setPromptInput(std::FILE* input);

}  // namespace kupack::platform

// ---- Extracting below a target folder (used by the archive reader) -------------------
// The reader writes entries only below the folder the user named and never follows a
// link there: each folder level is entered without following links, and the file itself
// is opened without following one. Win32: reparse points count as links.

namespace kupack::platform {

// Makes the folder `path` and any missing parents (links in `path` itself are the
// user's and are followed). False (errno set) when it cannot be made.
bool makeFolders(const std::string& path);

enum class CreateBelowResult {
  Created,      // `file` is open for binary writing under a temporary name
  Exists,       // the file exists and replacing was not asked for; nothing was changed
  ThroughLink,  // a folder level (or, without replacing, the file itself) is a link
  NotAFolder,   // a folder level exists as something other than a folder
  Failed,       // anything else (errorNumber tells why), a folder on the file's place too
};

// A file being written in its target folder under a private temporary name (made
// exclusively, never through a link), given its own name by place() only once complete.
// One that is dropped or discarded unplaced is removed, so a failed write leaves whatever
// had the name before as it was.
class StagedFile {
 public:
  struct Native;  // the platform's handles and names

  StagedFile();
  explicit StagedFile(std::unique_ptr<Native> native);
  ~StagedFile();
  StagedFile(StagedFile&&) noexcept;
  StagedFile& operator=(StagedFile&&) noexcept;

  bool isOpen() const;
  // Open for binary writing until place() or discard(); the file owns it.
  std::FILE* stream() const;

  // Closes the stream and renames the file to its name. With replacing, whatever has the
  // name (a file, a hard link, a symbolic link, not a folder) is replaced as a name and never
  // written through; without, a name that has appeared meanwhile is kept and errno is
  // EEXIST. False (errno set) when what was written did not all reach the file or the
  // rename failed; the temporary file is removed then.
  bool place();

  // Closes the stream and removes the temporary file. Does nothing once placed.
  void discard();

 private:
  std::unique_ptr<Native> native_;
};

struct CreatedFile {
  CreateBelowResult result = CreateBelowResult::Failed;
  StagedFile file;      // open only for Created
  int errorNumber = 0;  // set only for Failed
};

// Starts the file reached from the existing folder `root` through `levels`: native
// folder names, the file's name last. No level may be empty, "." or "..", or hold a
// separator (the caller checks). Missing folders are made on the way. With `replace`, an
// existing file, hard link or symbolic link at the name will be replaced by place(); without
// it, the name must not be taken yet. Nothing at the name is changed before place().
CreatedFile createFileBelow(const std::string& root, const std::vector<std::string>& levels,
                            bool replace);

}  // namespace kupack::platform

// ---- Files held open while they are served (used by the archive mount) ---------------
// A read-only mount keeps its archive open for as long as it lives, reads it from several
// threads at once, and notices when the file under the archive's name is no longer the
// one it opened. Decoded entries too large for memory go to files without a name.

namespace kupack::platform {

class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile();
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Opens the plain file at `path` for reading and notes what it is (device, file number,
  // size, modification time). False (errno set) when it cannot be opened or is no file.
  bool openForReading(const std::string& path);

  // Makes an empty file for reading and writing that has no name (POSIX: O_TMPFILE, or a
  // name removed at once; Windows: deleted when closed), in the system's temporary
  // folder. False (errno set) when none can be made.
  bool openUnnamedTemporary();

  bool isOpen() const;

  // Reads exactly `buffer.size()` bytes at `position`; false (errno set, EIO for a short
  // read) otherwise. Safe to call from several threads at once.
  bool readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const;

  // Asks the system to start reading the `length` bytes from `position` on into its cache,
  // without waiting for them (POSIX: posix_fadvise; nothing on Windows). Only a hint.
  void willRead(std::uint64_t position, std::uint64_t length) const;

  // Writes all of `bytes` at `position`; false (errno set) otherwise.
  bool writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes);

  // Appends the `length` bytes from `position` on to `destination` at its current position
  // (flushed first, and positioned after them on return), without passing them through the
  // process where the system can copy between files itself (Linux: copy_file_range, which
  // shares the blocks where the file system can); elsewhere in large positioned reads and
  // writes. Otherwise says which side failed (errno set; EIO for a file that ends early).
  enum class CopyResult { Copied, ReadFailed, WriteFailed };
  CopyResult copyTo(std::uint64_t position, std::uint64_t length, std::FILE* destination) const;

  // True while `path` still names the file opened here, unchanged since it was opened
  // (same device and file number, same size and modification time).
  bool stillNamedBy(const std::string& path) const;

  // True while the file opened here is unchanged (same size and modification time) and
  // still has a name somewhere, judged by the open file alone: for a file whose name can
  // no longer be looked at (a mount now covers its folder).
  bool unchangedWhileHeld() const;

  // The file's length when it was opened.
  std::uint64_t size() const { return size_; }

  // The file's modification time when it was opened, in seconds since 1970.
  std::int64_t modifiedUnixSeconds() const;

 private:
  void close();

  std::intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
  std::uint64_t device_ = 0;
  std::uint64_t fileNumber_ = 0;
  std::uint64_t size_ = 0;
  std::int64_t modified_ = 0;  // nanoseconds (POSIX) or 100-ns ticks (Windows)
};

}  // namespace kupack::platform
