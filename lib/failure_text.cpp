#include "lib/failure_text.h"

#include <cstring>

#include "archive/archive_reader.h"  // entryNameForConsole
#include "platform/platform.h"

namespace kupack {
namespace {

using Code = Status::Code;
using Reason = Status::Reason;

// Each reason's text; placeholders as in the program's table (app/status_text.cpp).
const char* reasonTemplate(Reason reason) {
  switch (reason) {
    case Reason::None:
      break;
    case Reason::ArchiveTooShort:
      return "not a kupack archive: only {0} bytes long, too short for the 6-byte header";
    case Reason::DataOffsetOutOfRange:
      return "not a kupack archive: the header's data offset {0} cannot hold {1} directory "
             "entries ({2} to {3} bytes)";
    case Reason::DirectoryPastEnd:
      return "the directory would end at byte {0}, past the end of the file "
             "({1} bytes)";
    case Reason::DirectoryEndMismatch:
      return "the directory ends at byte {0}, but the header's data offset is {1}";
    case Reason::ArchiveSizeMismatch:
      return "the file is {0} bytes long, but its directory and data take {1} bytes";
    case Reason::ArchiveIsFolder:
      return "is a folder, not an archive";
    case Reason::ArchiveNotRegularFile:
      return "is not a regular file, not an archive";
    case Reason::ArchiveUnopenable:
      return "cannot open";
    case Reason::ArchiveReadFailed:
      return "cannot read {0} bytes at byte {1} (has the file changed?)";
    case Reason::NameNotTerminated:
      return "name is not terminated within 256 bytes";
    case Reason::NamePastDirectory:
      return "name runs past the directory's end at byte {0}";
    case Reason::NameNotNormalized:
      return "the name is not normalized (holds 'A' to 'Z' or '/')";
    case Reason::EntryPastDirectory:
      return "the entry runs past the directory's end at byte {0}";
    case Reason::UnknownType:
      return "type {0} is none of 0 (stored), 1 (SPB) and 2 (LZSS)";
    case Reason::OffsetMismatch:
      return "offset {0}, but the entries before it take {1} bytes of data";
    case Reason::StoredSizeMismatch:
      return "stored entry whose stored size {0} differs from its source size {1}";
    case Reason::DuplicateEntry:
      return "an earlier entry has the same name (only the first entry of a name is read)";
    case Reason::ReadOutsideEntry:
      return "read outside the entry's bytes";
    case Reason::EntryOutsideData:
      return "the entry lies outside the data area";
    case Reason::NoMemoryToRead:
      return "not enough memory to read the entry whole";
    case Reason::NoMemoryToDecode:
      return "not enough memory to decode it";
    case Reason::NoMemoryToExtract:
      return "not enough memory to extract it";
    case Reason::NoMemoryToTest:
      return "not enough memory to test it";
    case Reason::NoMemoryToCompare:
      return "not enough memory to compare it";
    case Reason::NoMemoryForDirectory:
      return "not enough memory to read the archive's directory";
    case Reason::NotAnEntryOfArchive:
      return "not an entry of this archive";
    case Reason::NoMemoryForEntry:
      return "kupack: not enough memory to read an entry";
    case Reason::EntryUnreadable:
      return "cannot read its bytes";
    case Reason::StreamUnreadable:
      return "the stream could not be read";
    case Reason::CopiedBytesNotWritten:
      return "the copied bytes could not be written";
    case Reason::DecodedBytesNotWritten:
      return "the decoded bytes could not be written";
    case Reason::DecodedRowsNotWritten:
      return "the decoded rows could not be written";
    case Reason::UnknownEntryType:
      return "unknown entry type";
    case Reason::Stopped:
      return "stopped: the process is ending";
    case Reason::LzssSourceTooLarge:
      return "its source size {0} is more than its {1}-byte LZSS stream can code (at most "
             "{2})";
    case Reason::LzssCannotHold:
      return "broken LZSS stream (LZSS stream of {0} bytes cannot hold {1} bytes)";
    case Reason::LzssEndsEarly:
      return "broken LZSS stream (LZSS stream ends after {0} of {1} bytes)";
    case Reason::LzssTrailingBytes:
      return "{0} bytes follow the end of its LZSS stream ({1} bytes)";
    case Reason::SpbShorterThanHeader:
      return "its SPB stream of {0} bytes is shorter than its 4-byte header";
    case Reason::SpbEndsInHeader:
      return "broken SPB stream (stream ends inside its header)";
    case Reason::SpbNoPixels:
      return "broken SPB stream (picture has no pixels)";
    case Reason::SpbEndsEarly:
      return "broken SPB stream (stream ends early)";
    case Reason::SpbResidualOutOfRange:
      return "broken SPB stream (residual leaves 0..255)";
    case Reason::SpbCompletingNotZero:
      return "broken SPB stream (completing entry is not zero)";
    case Reason::SpbFillNotZero:
      return "broken SPB stream (fill bits are not zero)";
    case Reason::SpbTrailingBytes:
      return "broken SPB stream (bytes follow the end of the stream)";
    case Reason::SpbNotChecked:
      return "the SPB stream was not checked before its rows were asked for";
    case Reason::PictureTooLargeForMemory:
      return "the picture is larger than this program can hold in memory";
    case Reason::PictureTooLargeForBmp:
      return "the {0} x {1} picture is too large for a BMP file";
    case Reason::PicturePixelsMismatch:
      return "the picture's pixels do not match its size";
    case Reason::PackFolderUnreadable:
      return "cannot read the folder";
    case Reason::PackLinkUnfollowable:
      return "cannot follow the link";
    case Reason::PackNameHasBackslash:
      return "the name holds '\\'";
    case Reason::PackNameNotShiftJis:
      return "the name has no Shift-JIS form";
    case Reason::PackTooManyFiles:
      return "{0} files; an archive holds at most 65535";
    case Reason::PackNameTooLong:
      return "the name is {0} bytes long; at most 255 bytes";
    case Reason::PackNameEndsInDotOrSpace:
      return "a level of the name ends in '.' or a space";
    case Reason::PackNameHasColon:
      return "the name holds ':'";
    case Reason::PackNameCollision:
      return "recorded under the same name as {file}";
    case Reason::PackFileFolderClash:
      return "recorded under the same name as the folder {file}";
    case Reason::PackEntryFolderClash:
      return "recorded under the same name as the folder {name}";
    case Reason::PackNameWindowsReserved:
      return "the name cannot be used on Windows, so it cannot be extracted there";
    case Reason::FolderNotPackable:
      return "no folder to pack";
    case Reason::MountNotBuilt:
      return "this kupack was built without FUSE (libfuse 3) support";
    case Reason::MountNotOnWindows:
      return "mounting an archive is not available on Windows";
    case Reason::FuseUnopenable:
      return "/dev/fuse cannot be opened; FUSE is not available here";
    case Reason::FuseSessionFailed:
      return "the FUSE session cannot be made";
    case Reason::FuseSignalsFailed:
      return "the signal handlers cannot be set";
    case Reason::MountFailed:
      return "cannot mount on the folder";
    case Reason::BackgroundFailed:
      return "cannot go to the background";
    case Reason::FuseLoopFailed:
      return "the FUSE loop ended with an error";
    case Reason::PathTaken:
      return "another entry takes its path";
    case Reason::PictureSizeNoBmp:
      return "its picture's size gives no BMP file";
    case Reason::DecodedSizeMismatch:
      return "decodes to {0} bytes, its header says {1}";
    case Reason::TemporaryUnreadable:
      return "cannot read its temporary file";
    case Reason::TemporaryUncreatable:
      return "cannot make a temporary file";
    case Reason::ArchiveReplaced:
      return "the archive has been replaced or changed since it was mounted; its entries can "
             "no longer be read";
    case Reason::NamesMayBeLowered:
      return "the archive records names lower-cased byte by byte, which changes some two-byte "
             "characters (katakana A to DI among them); they are given back as recorded";
    case Reason::NameEmpty:
      return "the name is empty";
    case Reason::NameAbsolute:
      return "the name is absolute";
    case Reason::NameHasDrive:
      return "the name holds a drive letter or ':'";
    case Reason::NameHasDotDot:
      return "the name holds a \"..\" level";
    case Reason::NameHasEmptyLevel:
      return "the name holds an empty level or one of dots and spaces only";
    case Reason::NameNotShiftJis:
      return "the name is not valid Shift-JIS";
    case Reason::NameNotNative:
      return "the name has a level that is no native file name";
    case Reason::NameWindowsDevice:
      return "\"{name}\" is a name reserved by Windows (a device)";
    case Reason::NameWindowsStream:
      return "\"{name}\" is reserved by Windows: ':' starts the name of a file's stream";
    case Reason::NameWindowsCharacter:
      return "\"{name}\" holds {char}, which Windows allows in no name";
    case Reason::NameWindowsDotOrSpace:
      return "\"{name}\" is reserved by Windows: it ends in a dot or a space, which Windows "
             "drops";
    case Reason::TargetExists:
      return "{file} exists (-f replaces it)";
    case Reason::TargetIsArchive:
      return "{file} is the archive being read";
    case Reason::TargetThroughLink:
      return "its path below the target folder leads through a link";
    case Reason::TargetFolderIsFile:
      return "a folder on its path exists as a file";
    case Reason::TargetUncreatable:
      return "cannot create {file}";
    case Reason::TargetUnwritable:
      return "cannot write {file}";
    case Reason::FolderUnreadable:
      return "cannot read the folder";
    case Reason::FileSharesArchiveName:
      return "another file of the folder has the same archive name {name}";
    case Reason::FileNameNotShiftJis:
      return "its name has no Shift-JIS form, so no archive holds it";
    case Reason::FileNameHasBackslash:
      return "its name holds '\\', so no archive holds it";
    case Reason::MissingFromArchive:
      return "missing from the archive";
    case Reason::MissingFromFolder:
      return "missing from the folder";
    case Reason::FileUnopenable:
      return "cannot open {file}";
    case Reason::FileSizeDiffers:
      return "the file in the folder has {0} bytes, the archive recorded {1}";
    case Reason::FileDiffers:
      return "differs from the file in the folder";
    case Reason::FileLonger:
      return "the file in the folder is longer than the entry";
    case Reason::FileNoSpbPicture:
      return "the file in the folder is no picture the SPB coding holds";
    case Reason::PictureDiffers:
      return "the picture differs from the file in the folder";
  }
  return "";
}

std::string characterShown(std::uint64_t character) {
  if (character == 0) return "a control character";
  return std::string("'") + static_cast<char>(character) + "'";
}

std::string filled(const Status& status, const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      out += text[i++];
      continue;
    }
    const std::string field = text.substr(i + 1, close - i - 1);
    if (field.size() == 1 && field[0] >= '0' && field[0] <= '3') {
      out += std::to_string(status.number(static_cast<std::size_t>(field[0] - '0')));
    } else if (field == "file") {
      out += platform::nativeToConsoleText(status.otherPath());
    } else if (field == "name") {
      out += entryNameForConsole(status.otherPath());
    } else if (field == "char") {
      out += characterShown(status.number(0));
    } else {
      out += text.substr(i, close - i + 1);
    }
    i = close + 1;
  }
  return out;
}

const char* codeText(Code code) {
  switch (code) {
    case Code::Ok:
      return "";
    case Code::CannotOpen:
      return "cannot open the file";
    case Code::CannotCreate:
      return "cannot create the file";
    case Code::CannotRead:
      return "cannot read the file";
    case Code::SourceChanged:
      return "the file changed while it was read";
    case Code::CannotWrite:
      return "cannot write the file";
    case Code::CannotRename:
      return "cannot rename the file";
    case Code::FileTooLarge:
      return "the file is 4 GB or more";
    case Code::DataTooLarge:
      return "the archive's data would pass 4 GB";
    case Code::OutOfMemory:
      return "not enough memory";
    case Code::OutputError:
      return "the output could not be written";
    case Code::Corrupt:
      return "broken data";
    case Code::Refused:
      return "refused";
    case Code::Differs:
      return "differs";
    case Code::LeftOut:
      return "left out";
    case Code::Note:
      return "note";
  }
  return "";
}

}  // namespace

std::string libraryFailureText(const Status& status) {
  std::string text;
  if (!status.path().empty()) text += platform::nativeToConsoleText(status.path()) + ": ";
  if (status.entryNumber() != 0) {
    text += "entry " + std::to_string(status.entryNumber());
    if (status.hasEntry()) text += " (" + entryNameForConsole(status.entry()) + ")";
    text += ": ";
  } else if (status.hasEntry()) {
    text += entryNameForConsole(status.entry()) + ": ";
  }
  text += status.reason() == Reason::None ? codeText(status.code())
                                          : filled(status, reasonTemplate(status.reason()));
  if (status.errorNumber() != 0) {
    text += " (" + platform::nativeToConsoleText(std::strerror(status.errorNumber())) + ")";
  }
  return text;
}

}  // namespace kupack
