#include "app/status_text.h"

#include <cstring>

#include "app/catalogue.h"
#include "archive/archive_reader.h"  // entryNameForConsole
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using Code = Status::Code;
using Reason = Status::Reason;
using ull = unsigned long long;

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

// A native path as console text, control characters shown as '?' (as packing shows names).
std::string shownName(const std::string& native) { return entryNameForConsole(shown(native)); }

std::string systemReason(int errorNumber) { return shown(std::strerror(errorNumber)); }

// The text of a reason, its placeholders still in it: {0} to {3} are the status's numbers,
// {file} its second path, {name} its second path as a recorded entry name (or level), {char}
// the character number(0) names.
const char* reasonTemplate(Reason reason) {
  switch (reason) {
    case Reason::None:
      break;
    case Reason::ArchiveTooShort:
      return tr("not a kupack archive: only {0} bytes long, too short for the 6-byte header");
    case Reason::DataOffsetOutOfRange:
      return tr(
          "not a kupack archive: the header's data offset {0} cannot hold {1} directory "
          "entries ({2} to {3} bytes)");
    case Reason::DirectoryPastEnd:
      return tr(
          "the directory would end at byte {0}, past the end of the file "
          "({1} bytes)");
    case Reason::DirectoryEndMismatch:
      return tr("the directory ends at byte {0}, but the header's data offset is {1}");
    case Reason::ArchiveSizeMismatch:
      return tr("the file is {0} bytes long, but its directory and data take {1} bytes");
    case Reason::ArchiveIsFolder:
      return tr("is a folder, not an archive");
    case Reason::ArchiveNotRegularFile:
      return tr("is not a regular file, not an archive");
    case Reason::ArchiveUnopenable:
      return tr("cannot open");
    case Reason::ArchiveReadFailed:
      return tr("cannot read {0} bytes at byte {1} (has the file changed?)");
    case Reason::NameNotTerminated:
      return tr("name is not terminated within 256 bytes");
    case Reason::NamePastDirectory:
      return tr("name runs past the directory's end at byte {0}");
    case Reason::NameNotNormalized:
      return tr("the name is not normalized (holds 'A' to 'Z' or '/')");
    case Reason::EntryPastDirectory:
      return tr("the entry runs past the directory's end at byte {0}");
    case Reason::UnknownType:
      return tr("type {0} is none of 0 (stored), 1 (SPB) and 2 (LZSS)");
    case Reason::OffsetMismatch:
      return tr("offset {0}, but the entries before it take {1} bytes of data");
    case Reason::StoredSizeMismatch:
      return tr("stored entry whose stored size {0} differs from its source size {1}");
    case Reason::DuplicateEntry:
      return tr("an earlier entry has the same name (only the first entry of a name is read)");
    case Reason::ReadOutsideEntry:
      return tr("read outside the entry's bytes");
    case Reason::EntryOutsideData:
      return tr("the entry lies outside the data area");
    case Reason::NoMemoryToRead:
      return tr("not enough memory to read the entry whole");
    case Reason::NoMemoryToDecode:
      return tr("not enough memory to decode it");
    case Reason::NoMemoryToExtract:
      return tr("not enough memory to extract it");
    case Reason::NoMemoryToTest:
      return tr("not enough memory to test it");
    case Reason::NoMemoryToCompare:
      return tr("not enough memory to compare it");
    case Reason::NoMemoryForDirectory:
      return tr("not enough memory to read the archive's directory");
    case Reason::NotAnEntryOfArchive:
      return tr("not an entry of this archive");
    case Reason::NoMemoryForEntry:
      return tr("kupack: not enough memory to read an entry");
    case Reason::EntryUnreadable:
      return tr("cannot read its bytes");
    case Reason::StreamUnreadable:
      return tr("the stream could not be read");
    case Reason::CopiedBytesNotWritten:
      return tr("the copied bytes could not be written");
    case Reason::DecodedBytesNotWritten:
      return tr("the decoded bytes could not be written");
    case Reason::DecodedRowsNotWritten:
      return tr("the decoded rows could not be written");
    case Reason::UnknownEntryType:
      return tr("unknown entry type");
    case Reason::Stopped:
      return tr("stopped: the process is ending");
    case Reason::LzssSourceTooLarge:
      return tr(
          "its source size {0} is more than its {1}-byte LZSS stream can code (at most "
          "{2})");
    case Reason::LzssCannotHold:
      return tr("broken LZSS stream (LZSS stream of {0} bytes cannot hold {1} bytes)");
    case Reason::LzssEndsEarly:
      return tr("broken LZSS stream (LZSS stream ends after {0} of {1} bytes)");
    case Reason::LzssTrailingBytes:
      return tr("{0} bytes follow the end of its LZSS stream ({1} bytes)");
    case Reason::SpbShorterThanHeader:
      return tr("its SPB stream of {0} bytes is shorter than its 4-byte header");
    case Reason::SpbEndsInHeader:
      return tr("broken SPB stream (stream ends inside its header)");
    case Reason::SpbNoPixels:
      return tr("broken SPB stream (picture has no pixels)");
    case Reason::SpbEndsEarly:
      return tr("broken SPB stream (stream ends early)");
    case Reason::SpbResidualOutOfRange:
      return tr("broken SPB stream (residual leaves 0..255)");
    case Reason::SpbCompletingNotZero:
      return tr("broken SPB stream (completing entry is not zero)");
    case Reason::SpbFillNotZero:
      return tr("broken SPB stream (fill bits are not zero)");
    case Reason::SpbTrailingBytes:
      return tr("broken SPB stream (bytes follow the end of the stream)");
    case Reason::SpbNotChecked:
      return tr("the SPB stream was not checked before its rows were asked for");
    case Reason::PictureTooLargeForMemory:
      return tr("the picture is larger than this program can hold in memory");
    case Reason::PictureTooLargeForBmp:
      return tr("the {0} x {1} picture is too large for a BMP file");
    case Reason::PicturePixelsMismatch:
      return tr("the picture's pixels do not match its size");
    case Reason::PackFolderUnreadable:
    case Reason::PackLinkUnfollowable:
    case Reason::PackNameHasBackslash:
    case Reason::PackNameNotShiftJis:
    case Reason::PackTooManyFiles:
    case Reason::PackNameTooLong:
    case Reason::PackNameEndsInDotOrSpace:
    case Reason::PackNameHasColon:
    case Reason::PackNameCollision:
    case Reason::PackFileFolderClash:
    case Reason::PackEntryFolderClash:
    case Reason::PackNameWindowsReserved:
      break;  // packText() words them
    case Reason::FolderNotPackable:
      return tr("no folder to pack");
    case Reason::MountNotBuilt:
      return tr("this kupack was built without FUSE (libfuse 3) support");
    case Reason::MountNotOnWindows:
      return tr("mounting an archive is not available on Windows");
    case Reason::FuseUnopenable:
      return tr("/dev/fuse cannot be opened; FUSE is not available here");
    case Reason::FuseSessionFailed:
      return tr("the FUSE session cannot be made");
    case Reason::FuseSignalsFailed:
      return tr("the signal handlers cannot be set");
    case Reason::MountFailed:
      return tr("cannot mount on the folder");
    case Reason::BackgroundFailed:
      return tr("cannot go to the background");
    case Reason::FuseLoopFailed:
      return tr("the FUSE loop ended with an error");
    case Reason::PathTaken:
      return tr("another entry takes its path");
    case Reason::PictureSizeNoBmp:
      return tr("its picture's size gives no BMP file");
    case Reason::DecodedSizeMismatch:
      return tr("decodes to {0} bytes, its header says {1}");
    case Reason::TemporaryUnreadable:
      return tr("cannot read its temporary file");
    case Reason::TemporaryUncreatable:
      return tr("cannot make a temporary file");
    case Reason::ArchiveReplaced:
      return tr(
          "the archive has been replaced or changed since it was mounted; its entries can "
          "no longer be read");
    case Reason::NamesMayBeLowered:
      return tr(
          "the archive records names lower-cased byte by byte, which changes some two-byte "
          "characters (katakana A to DI among them); they are given back as recorded");
    case Reason::NameEmpty:
      return tr("the name is empty");
    case Reason::NameAbsolute:
      return tr("the name is absolute");
    case Reason::NameHasDrive:
      return tr("the name holds a drive letter or ':'");
    case Reason::NameHasDotDot:
      return tr("the name holds a \"..\" level");
    case Reason::NameHasEmptyLevel:
      return tr("the name holds an empty level or one of dots and spaces only");
    case Reason::NameNotShiftJis:
      return tr("the name is not valid Shift-JIS");
    case Reason::NameNotNative:
      return tr("the name has a level that is no native file name");
    case Reason::NameWindowsDevice:
      return tr("\"{name}\" is a name reserved by Windows (a device)");
    case Reason::NameWindowsStream:
      return tr("\"{name}\" is reserved by Windows: ':' starts the name of a file's stream");
    case Reason::NameWindowsCharacter:
      return tr("\"{name}\" holds {char}, which Windows allows in no name");
    case Reason::NameWindowsDotOrSpace:
      return tr(
          "\"{name}\" is reserved by Windows: it ends in a dot or a space, which Windows "
          "drops");
    case Reason::TargetExists:
      return tr("{file} exists (-f replaces it)");
    case Reason::TargetIsArchive:
      return tr("{file} is the archive being read");
    case Reason::TargetThroughLink:
      return tr("its path below the target folder leads through a link");
    case Reason::TargetFolderIsFile:
      return tr("a folder on its path exists as a file");
    case Reason::TargetUncreatable:
      return tr("cannot create {file}");
    case Reason::TargetUnwritable:
      return tr("cannot write {file}");
    case Reason::FolderUnreadable:
      return tr("cannot read the folder");
    case Reason::FileSharesArchiveName:
      return tr("another file of the folder has the same archive name {name}");
    case Reason::FileNameNotShiftJis:
      return tr("its name has no Shift-JIS form, so no archive holds it");
    case Reason::FileNameHasBackslash:
      return tr("its name holds '\\', so no archive holds it");
    case Reason::MissingFromArchive:
      return tr("missing from the archive");
    case Reason::MissingFromFolder:
      return tr("missing from the folder");
    case Reason::FileUnopenable:
      return tr("cannot open {file}");
    case Reason::FileSizeDiffers:
      return tr("the file in the folder has {0} bytes, the archive recorded {1}");
    case Reason::FileDiffers:
      return tr("differs from the file in the folder");
    case Reason::FileLonger:
      return tr("the file in the folder is longer than the entry");
    case Reason::FileNoSpbPicture:
      return tr("the file in the folder is no picture the SPB coding holds");
    case Reason::PictureDiffers:
      return tr("the picture differs from the file in the folder");
  }
  return "";
}

std::string characterShown(std::uint64_t character) {
  if (character == 0) return tr("a control character");
  return std::string("'") + static_cast<char>(character) + "'";
}

// The reason's text with its placeholders filled in.
std::string reasonText(const Status& status) {
  const std::string text = reasonTemplate(status.reason());
  std::string filled;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      filled += text[i++];
      continue;
    }
    const std::string field = text.substr(i + 1, close - i - 1);
    if (field.size() == 1 && field[0] >= '0' && field[0] <= '3') {
      filled += std::to_string(ull{status.number(static_cast<std::size_t>(field[0] - '0'))});
    } else if (field == "file") {
      filled += shown(status.otherPath());
    } else if (field == "name") {
      filled += entryNameForConsole(status.otherPath());
    } else if (field == "char") {
      filled += characterShown(status.number(0));
    } else {
      filled += text.substr(i, close - i + 1);
    }
    i = close + 1;
  }
  return filled;
}

std::string withSystemReason(const char* messageTemplate, const Status& status) {
  return formatText(messageTemplate, shown(status.path()).c_str(),
                    systemReason(status.errorNumber()).c_str());
}

// The packing run's refusals, as its Japanese users have always seen them; empty for
// other reasons.
std::string packText(const Status& status) {
  const std::string path = shownName(status.path());
  const std::string system = systemReason(status.errorNumber());
  switch (status.reason()) {
    case Reason::PackFolderUnreadable:
      return formatText(tr("Cannot read the folder %s (%s).\n"), path.c_str(), system.c_str());
    case Reason::PackLinkUnfollowable:
      return formatText(tr("Cannot read where the link %s leads (%s).\n"), path.c_str(), system.c_str());
    case Reason::PackNameHasBackslash:
      return formatText(tr("The name of the file %s holds a \\.\n"), path.c_str());
    case Reason::PackNameNotShiftJis:
      return formatText(tr("The name of the file %s cannot be written in Shift-JIS.\n"), path.c_str());
    case Reason::PackTooManyFiles:
      return formatText(tr("There are %lu files; an archive holds at most 65535.\n"), static_cast<unsigned long>(status.number(0)));
    case Reason::PackNameTooLong:
      return formatText(tr("The name of the file %s is %lu bytes long; at most 255 bytes are allowed.\n"), path.c_str(),
                        static_cast<unsigned long>(status.number(0)));
    case Reason::PackNameEndsInDotOrSpace:
      return formatText(tr("The name of the file %s has a part that ends in '.' or a space.\n"), path.c_str());
    case Reason::PackNameHasColon:
      return formatText(tr("The name of the file %s holds a ':'.\n"), path.c_str());
    case Reason::PackNameCollision:
      return formatText(tr("The files %s and %s would be recorded under the same name.\n"), path.c_str(), shownName(status.otherPath()).c_str());
    case Reason::PackFileFolderClash:
      return formatText(tr("The file %s and the folder %s would be recorded under the same name.\n"), path.c_str(), shownName(status.otherPath()).c_str());
    case Reason::PackEntryFolderClash:
      return formatText(tr("The file %s and the folder %s would be recorded under the same name.\n"), entryNameForConsole(status.entry()).c_str(),
                        entryNameForConsole(status.otherPath()).c_str());
    case Reason::PackNameWindowsReserved:
      return formatText(tr("Note: the name of the file %s cannot be used on Windows, so it cannot be extracted there.\n"), path.c_str());
    default:
      return {};
  }
}

// The texts of a failure about one file, which name the file themselves.
std::string fileText(const Status& status) {
  // The packing run's own texts, as its Japanese users have always seen them.
  switch (status.code()) {
    case Code::CannotOpen:
      return withSystemReason(tr("Cannot open the file %s (%s).\n"), status);
    case Code::CannotCreate:
      return withSystemReason(tr("Cannot create the file %s (%s).\n"), status);
    case Code::CannotRead:
      return withSystemReason(tr("Cannot read the file %s (%s).\n"), status);
    case Code::SourceChanged:
      return formatText(tr("The file %s changed while it was being read.\n"), shown(status.path()).c_str());
    case Code::CannotWrite:
      return withSystemReason(tr("Cannot write to the file %s (%s).\n"), status);
    case Code::CannotRename:
      return formatText(tr("Cannot move the file %s into place as %s (%s).\n"), shown(status.path()).c_str(),
                        shown(status.otherPath()).c_str(),
                        systemReason(status.errorNumber()).c_str());
    case Code::FileTooLarge:
      return formatText(tr("The file %s is 4 GB or larger, so it cannot go into an archive.\n"), shown(status.path()).c_str());
    case Code::DataTooLarge:
      return tr("The archive's data would pass 4 GB, so it cannot be made.\n");
    case Code::OutOfMemory:
      return formatText(tr("Not enough memory to process the file %s.\n"), shown(status.path()).c_str());
    case Code::OutputError:
      return tr("Output error\n");
    case Code::Ok:
      return {};
    case Code::Corrupt:
      return tr("broken data\n");
    case Code::Refused:
      return tr("refused\n");
    case Code::Differs:
      return tr("differs\n");
    case Code::LeftOut:
      return tr("left out\n");
    case Code::Note:
      return {};
  }
  return {};
}

// Where the failure happened, as the start of its line: "<archive>: entry 3 (<name>): ".
std::string place(const Status& status) {
  std::string where;
  if (!status.path().empty()) where += shown(status.path()) + ": ";
  const std::string name = entryNameForConsole(status.entry());
  if (status.entryNumber() != 0) {
    where += formatText(tr("entry %llu"), ull{status.entryNumber()});
    if (status.hasEntry()) where += " (" + name + ")";
    where += ": ";
  } else if (status.hasEntry()) {
    where += name + ": ";
  }
  return where;
}

// A note on names, "note: <name> and 2 other names: <what>".
std::string noteText(const Status& status) {
  const std::string name = entryNameForConsole(status.entry());
  const std::string what = reasonText(status);
  const std::uint64_t count = status.number(0);
  if (count <= 1) return formatText(tr("note: %s: %s\n"), name.c_str(), what.c_str());
  if (count == 2)
    return formatText(tr("note: %s and 1 other name: %s\n"), name.c_str(), what.c_str());
  return formatText(tr("note: %s and %llu other names: %s\n"), name.c_str(), ull{count - 1},
                    what.c_str());
}

// Why the mount leaves an entry out: "left out (<cause>)".
std::string leftOutText(const Status& status) {
  return formatText(tr("left out (%s)"), reasonText(status).c_str());
}

}  // namespace

Status loweredNamesNote(const std::string& firstName, std::uint64_t count) {
  return Status::fault(Status::Code::Note, Reason::NamesMayBeLowered, {count}).atEntry(firstName);
}

std::string statusCause(const Status& status) {
  if (status.isOk()) return {};
  std::string packed = packText(status);
  if (status.reason() == Status::Reason::None || !packed.empty()) {
    std::string text = packed.empty() ? fileText(status) : std::move(packed);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  std::string text = status.code() == Code::LeftOut ? leftOutText(status) : reasonText(status);
  if (status.errorNumber() != 0) text += " (" + systemReason(status.errorNumber()) + ")";
  return text;
}

std::string statusText(const Status& status) {
  if (status.isOk()) return {};
  if (std::string text = packText(status); !text.empty()) return text;
  if (status.code() == Code::Note) return noteText(status);
  if (status.reason() == Status::Reason::None) {
    // A file's own failure found while an entry was handled: the entry's file in the folder.
    if (status.hasEntry()) {
      return entryNameForConsole(status.entry()) + tr(": the file in the folder: ") +
             fileText(status);
    }
    return fileText(status);
  }
  return place(status) + statusCause(status) + "\n";
}

}  // namespace kupack
