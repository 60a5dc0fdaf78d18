// The outcome of an operation that can fail, carried up to the program's entry. Code below
// the program's commands never prints failures, never words them and never exits: it returns
// a Status that says what went wrong (a code, and for the archive's and the decoders' faults
// a reason), with what (a path, a second path, an entry, the system's error number) and the
// numbers the reason needs. The program words each code and reason in one place
// (app/status_text.h); the reading library words them for its own callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace kupack {

class Status {
 public:
  enum class Code {
    Ok,
    CannotOpen,     // path could not be opened for reading; errorNumber says why
    CannotCreate,   // path could not be created
    CannotRead,     // reading path failed
    SourceChanged,  // path gave other than the bytes of the size it had when opened
    CannotWrite,    // writing path failed
    CannotRename,   // path could not be renamed to otherPath
    FileTooLarge,   // path holds 4 GiB or more
    DataTooLarge,   // the archive's data would pass 4 GiB
    OutOfMemory,    // path's picture (or the entry's bytes) could not be held in memory
    OutputError,    // a coder could not write its output
    Corrupt,        // the archive or a coded stream is broken; reason says how
    Refused,        // sound input this program does not turn into what was asked; reason says why
    Differs,        // a test found the archive and its folder to differ; reason says how
    LeftOut,        // the mount leaves the entry out of its tree; reason says why
    Note,           // no failure: something the user should know; reason says what
  };

  // What exactly went wrong, beyond the code. The numbers a reason's text needs are listed
  // after it, in order (number(0), number(1), ...).
  enum class Reason : std::uint8_t {
    None,
    // The archive as a whole (path: the archive).
    ArchiveTooShort,       // archive size
    DataOffsetOutOfRange,  // data offset, entry count, smallest and largest offset
    DirectoryPastEnd,      // directory end, archive size
    DirectoryEndMismatch,  // directory end, data offset
    ArchiveSizeMismatch,   // archive size, size of header, directory and data
    ArchiveIsFolder,
    ArchiveNotRegularFile,
    ArchiveUnopenable,  // errorNumber says why
    ArchiveReadFailed,  // bytes, position
    // One directory entry (entry index, and its name where it has one).
    NameNotTerminated,
    NamePastDirectory,  // data offset
    NameNotNormalized,
    EntryPastDirectory,  // data offset
    UnknownType,         // type
    OffsetMismatch,      // offset, data size of the entries before it
    StoredSizeMismatch,  // stored size, source size
    // Reading and decoding one entry (entry name).
    DuplicateEntry,
    ReadOutsideEntry,
    EntryOutsideData,
    NoMemoryToRead,
    NoMemoryToDecode,
    NoMemoryToExtract,
    NoMemoryToTest,
    NoMemoryToCompare,
    NoMemoryForEntry,  // no entry: the reading pool ran out
    NoMemoryForDirectory,
    NotAnEntryOfArchive,  // the reading library's caller named an entry of another archive
    EntryUnreadable,
    StreamUnreadable,
    CopiedBytesNotWritten,
    DecodedBytesNotWritten,
    DecodedRowsNotWritten,
    UnknownEntryType,
    Stopped,
    LzssSourceTooLarge,    // source size, stream size, most the stream can code
    LzssCannotHold,        // stream size, expected size
    LzssEndsEarly,         // bytes produced, bytes expected
    LzssTrailingBytes,     // bytes after the stream, bytes of the stream
    SpbShorterThanHeader,  // stream size
    SpbEndsInHeader,
    SpbNoPixels,
    SpbEndsEarly,
    SpbResidualOutOfRange,
    SpbCompletingNotZero,
    SpbFillNotZero,
    SpbTrailingBytes,
    SpbNotChecked,
    PictureTooLargeForMemory,
    PictureTooLargeForBmp,  // width, height (0, 0 where unknown)
    PicturePixelsMismatch,
    // What the archive cannot hold, found before packing (path: the file or folder).
    PackFolderUnreadable,  // errorNumber
    PackLinkUnfollowable,  // errorNumber
    PackNameHasBackslash,
    PackNameNotShiftJis,
    PackTooManyFiles,  // no path; the number of files
    PackNameTooLong,   // the name's length in bytes
    PackNameEndsInDotOrSpace,
    PackNameHasColon,
    PackNameCollision,        // otherPath: the file whose name it takes
    PackFileFolderClash,      // otherPath: the folder
    PackEntryFolderClash,     // no path; entry: the file's name, otherPath: the folder's name
    PackNameWindowsReserved,  // a Note: packed, but Windows cannot extract it
    FolderNotPackable,  // path: what was named as the folder to pack (may be empty); errorNumber
    // Mounting (platform/read_only_mount.h).
    MountNotBuilt,  // this build has no FUSE support
    MountNotOnWindows,
    FuseUnopenable,  // errorNumber
    FuseSessionFailed,
    FuseSignalsFailed,
    MountFailed,  // path: the mount point
    BackgroundFailed,
    FuseLoopFailed,
    // The mount (path: the archive; entry name).
    PathTaken,  // left out: another entry takes its path
    PictureSizeNoBmp,
    DecodedSizeMismatch,   // bytes decoded, bytes the header gives
    TemporaryUnreadable,   // errorNumber
    TemporaryUncreatable,  // errorNumber
    ArchiveReplaced,       // no entry
    NamesMayBeLowered,     // a Note; entry: the first such name; the number of names
    // An entry's name that is not extracted (entry name; a level in otherPath).
    NameEmpty,
    NameAbsolute,
    NameHasDrive,
    NameHasDotDot,
    NameHasEmptyLevel,
    NameNotShiftJis,
    NameNotNative,
    NameWindowsDevice,      // otherPath: the level
    NameWindowsStream,      // otherPath: the level
    NameWindowsCharacter,   // otherPath: the level; number: the character (0: a control one)
    NameWindowsDotOrSpace,  // otherPath: the level
    // Extracting one entry (entry name; otherPath: the file it goes to).
    TargetExists,
    TargetIsArchive,
    TargetThroughLink,
    TargetFolderIsFile,
    TargetUncreatable,  // errorNumber
    TargetUnwritable,   // errorNumber
    // Testing against a folder (entry name, or path: the file in the folder).
    FolderUnreadable,       // path: the folder; errorNumber
    FileSharesArchiveName,  // path: the file; entry: the name
    FileNameNotShiftJis,    // path: the file
    FileNameHasBackslash,   // path: the file
    MissingFromArchive,     // entry
    MissingFromFolder,      // entry
    FileUnopenable,         // entry; otherPath: the file; errorNumber (0: unknown)
    FileSizeDiffers,        // entry; file size, recorded size
    FileDiffers,            // entry
    FileLonger,             // entry
    FileNoSpbPicture,       // entry
    PictureDiffers,         // entry (the last reason: LAST_STATUS_REASON)
  };

  // How a run ends on it: the packing run shows no closing text after an OutputError.
  enum class Kind { Ok, Failed, OutputError };

  Status() : code_(Code::Ok) {}
  static Status ok() { return Status(Code::Ok); }
  static Status outputError() { return Status(Code::OutputError); }
  // A failure about one file; `errorNumber` is the errno of the failed call (0: none).
  static Status file(Code code, std::string path, int errorNumber = 0) {
    Status status(code);
    status.path_ = std::move(path);
    status.errorNumber_ = errorNumber;
    return status;
  }
  static Status rename(std::string from, std::string to, int errorNumber) {
    Status status = file(Code::CannotRename, std::move(from), errorNumber);
    status.otherPath_ = std::move(to);
    return status;
  }
  // A fault `reason` names, with the numbers it needs; where it happened is added with
  // inFile(), atEntry() and the like as the status travels up.
  static Status fault(Code code, Reason reason, std::initializer_list<std::uint64_t> numbers = {}) {
    Status status(code);
    status.reason_ = reason;
    std::size_t i = 0;
    for (std::uint64_t number : numbers) {
      if (i < status.numbers_.size()) status.numbers_[i++] = number;
    }
    return status;
  }
  static Status corrupt(Reason reason, std::initializer_list<std::uint64_t> numbers = {}) {
    return fault(Code::Corrupt, reason, numbers);
  }
  static Status refused(Reason reason, std::initializer_list<std::uint64_t> numbers = {}) {
    return fault(Code::Refused, reason, numbers);
  }

  // Where the failure happened. An entry is named by its recorded bytes (code page 932);
  // `index` (from 0) where the directory itself is at fault. Each gives a new Status, so
  // that `status = std::move(status).inFile(path)` is safe.
  Status inFile(std::string path) && {
    path_ = std::move(path);
    return std::move(*this);
  }
  Status withOtherPath(std::string path) && {
    otherPath_ = std::move(path);
    return std::move(*this);
  }
  Status withErrorNumber(int errorNumber) && {
    errorNumber_ = errorNumber;
    return std::move(*this);
  }
  Status atEntry(std::string name) && {
    entry_ = std::move(name);
    hasEntry_ = true;
    return std::move(*this);
  }
  Status atEntry(std::size_t index, std::string name) && {
    entryNumber_ = index + 1;
    return std::move(*this).atEntry(std::move(name));
  }
  Status atEntryIndex(std::size_t index) && {
    entryNumber_ = index + 1;
    return std::move(*this);
  }

  bool isOk() const { return code_ == Code::Ok; }
  explicit operator bool() const { return isOk(); }
  Code code() const { return code_; }
  Reason reason() const { return reason_; }
  Kind kind() const {
    if (code_ == Code::Ok) return Kind::Ok;
    return code_ == Code::OutputError ? Kind::OutputError : Kind::Failed;
  }
  const std::string& path() const { return path_; }
  const std::string& otherPath() const { return otherPath_; }
  int errorNumber() const { return errorNumber_; }
  // The entry's recorded name, when hasEntry().
  bool hasEntry() const { return hasEntry_; }
  const std::string& entry() const { return entry_; }
  // The entry's place in the directory, from 1; 0 when not given.
  std::uint64_t entryNumber() const { return entryNumber_; }
  std::uint64_t number(std::size_t i) const { return i < numbers_.size() ? numbers_[i] : 0; }

 private:
  explicit Status(Code code) : code_(code) {}
  Code code_;
  Reason reason_ = Reason::None;
  std::string path_;
  std::string otherPath_;
  int errorNumber_ = 0;
  bool hasEntry_ = false;
  std::string entry_;
  std::uint64_t entryNumber_ = 0;
  std::array<std::uint64_t, 4> numbers_{};
};

// The last of Status::Reason, for walking all of them.
inline constexpr Status::Reason LAST_STATUS_REASON = Status::Reason::PictureDiffers;

}  // namespace kupack
