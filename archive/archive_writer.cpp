#include "archive/archive_writer.h"

#include <cerrno>
#include <cstring>

#include "archive/archive_format.h"
#include "archive/copy_stream.h"
#include "archive/file_holder.h"
#include "codec/entry_encoder.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

unsigned long ratioPercent(std::uint64_t storedSize, std::uint64_t sourceSize) {
  if (sourceSize == 0) return 0;
  return static_cast<unsigned long>(static_cast<std::uint32_t>(
      static_cast<double>(storedSize) * 100.0 / static_cast<double>(sourceSize)));
}

std::uint32_t directoryEnd(const std::vector<CollectedFile>& files) {
  std::uint64_t end = ARCHIVE_HEADER_SIZE;
  for (const auto& file : files) end += file.name.size() + DIRECTORY_RECORD_OVERHEAD;
  return static_cast<std::uint32_t>(end);
}

// One run of the writer; the holders close themselves on every way out.
class Writer {
 public:
  Writer(const ArchiveJob& job, const std::vector<CollectedFile>& files)
      : job_(job),
        files_(files),
        partPath_(partialArchivePath(job.archivePath)),
        tempPath_(entryTempPath(job.startFolder)),
        temp2Path_(dataTempPath(job.startFolder)) {}

  Status run() {
    Status status = writeAll();
    if (!status) {
      archive_.close();
      platform::removeFile(partPath_);
    }
    return status;
  }

 private:
  Status writeAll() {
    if (!archive_.open(partPath_, "wb")) return fileFailure(MSG_CANNOT_CREATE, partPath_, errno);
    if (!archive_.writeBE16(static_cast<std::uint32_t>(files_.size() & 0xFFFF)) ||
        !archive_.writeBE32(directoryEnd(files_))) {
      return fileFailure(MSG_CANNOT_WRITE, partPath_, errno);
    }
    if (!data_.open(temp2Path_, "wb")) return fileFailure(MSG_CANNOT_CREATE, temp2Path_, errno);
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (Status written = writeEntry(i); !written) return written;
    }
    if (!data_.close()) return fileFailure(MSG_CANNOT_WRITE, temp2Path_, errno);
    consoleWrite(MSG_JOINING);
    if (!data_.open(temp2Path_, "rb")) return fileFailure(MSG_CANNOT_OPEN, temp2Path_, errno);
    if (Status copied = copyStream(archive_, data_); !copied) return copied;
    data_.close();
    if (!archive_.close()) return fileFailure(MSG_CANNOT_WRITE, partPath_, errno);
    platform::removeFile(temp2Path_);
    if (!platform::replaceFile(partPath_, job_.archivePath)) {
      const int error = errno;
      return Status::failed(
          formatText(MSG_CANNOT_RENAME, platform::nativeToConsoleText(partPath_).c_str(),
                     platform::nativeToConsoleText(job_.archivePath).c_str(),
                     platform::nativeToConsoleText(std::strerror(error)).c_str()));
    }
    return Status::ok();
  }

  Status writeEntry(std::size_t index) {
    const CollectedFile& file = files_[index];
    const std::string sourcePath = platform::joinPath(job_.rootFolder, file.nativePath);
    FileHolder entry;
    if (!entry.open(sourcePath, "rb")) return fileFailure(MSG_CANNOT_OPEN, sourcePath, errno);
    const std::uint64_t sourceSize = entry.size();
    entry.close();
    if (sourceSize > MAX_ENTRY_SIZE) {
      return Status::failed(
          formatText(MSG_FILE_TOO_LARGE, platform::nativeToConsoleText(sourcePath).c_str()));
    }

    const std::string name = normalizeName(file.name);
    if (!archive_.writeBytes(name.c_str(), name.size() + 1))
      return fileFailure(MSG_CANNOT_WRITE, partPath_, errno);
    consolePrint(MSG_ENTRY_START, name.c_str(), static_cast<int>(index + 1),
                 static_cast<int>(files_.size()));

    const EncodedEntry encoded = encodeEntry({name, sourcePath}, tempPath_);
    if (!encoded.status) return encoded.status;

    if (!entry.open(tempPath_, "rb")) return fileFailure(MSG_CANNOT_OPEN, tempPath_, errno);
    const std::uint64_t storedSize = entry.size();
    if (storedSize > MAX_ENTRY_SIZE || offset_ + storedSize > MAX_ENTRY_SIZE) {
      return Status::failed(MSG_DATA_TOO_LARGE);
    }
    consolePrint(MSG_SOURCE_SIZE, static_cast<unsigned long>(sourceSize));
    consolePrint(MSG_STORED_SIZE, static_cast<unsigned long>(storedSize),
                 ratioPercent(storedSize, sourceSize));

    if (!archive_.writeBytes(&encoded.type, 1) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(offset_)) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(storedSize)) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(sourceSize))) {
      return fileFailure(MSG_CANNOT_WRITE, partPath_, errno);
    }
    if (Status copied = copyStream(data_, entry); !copied) return copied;
    offset_ += storedSize;
    entry.close();
    platform::removeFile(tempPath_);
    return Status::ok();
  }

  const ArchiveJob& job_;
  const std::vector<CollectedFile>& files_;
  const std::string partPath_;
  const std::string tempPath_;
  const std::string temp2Path_;
  FileHolder archive_;
  FileHolder data_;
  std::uint64_t offset_ = 0;
};

}  // namespace

std::string partialArchivePath(const std::string& archivePath) { return archivePath + ".part"; }
std::string entryTempPath(const std::string& startFolder) {
  return platform::joinPath(startFolder, "temp.dat");
}
std::string dataTempPath(const std::string& startFolder) {
  return platform::joinPath(startFolder, "temp2.dat");
}

Status buildArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files) {
  return Writer(job, files).run();
}

}  // namespace kupack
