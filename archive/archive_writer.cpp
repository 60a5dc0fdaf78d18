#include "archive/archive_writer.h"

#include <cerrno>
#include <cstring>

#include "archive/archive_format.h"
#include "archive/copy_stream.h"
#include "archive/entry_encoder.h"
#include "archive/file_holder.h"
#include "codec/worker_thread.h"
#include "platform/platform.h"

namespace kupack {
namespace {

std::uint32_t directoryEnd(const std::vector<CollectedFile>& files) {
  std::uint64_t end = ARCHIVE_HEADER_SIZE;
  for (const auto& file : files) end += file.name.size() + DIRECTORY_RECORD_OVERHEAD;
  return static_cast<std::uint32_t>(end);
}

// One run of the writer; the holders close themselves on every way out.
class Writer {
 public:
  Writer(const ArchiveJob& job, const std::vector<CollectedFile>& files, PackListener& listener)
      : job_(job),
        files_(files),
        listener_(listener),
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
    if (!archive_.open(partPath_, "wb"))
      return Status::file(Status::Code::CannotCreate, partPath_, errno);
    if (!archive_.writeBE16(static_cast<std::uint32_t>(files_.size() & 0xFFFF)) ||
        !archive_.writeBE32(directoryEnd(files_))) {
      return Status::file(Status::Code::CannotWrite, partPath_, errno);
    }
    if (!data_.open(temp2Path_, "wb"))
      return Status::file(Status::Code::CannotCreate, temp2Path_, errno);
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (Status written = writeEntry(i); !written) return written;
    }
    if (!data_.close()) return Status::file(Status::Code::CannotWrite, temp2Path_, errno);
    listener_.onEvent({PackEvent::Kind::Joining, {}});
    if (!data_.open(temp2Path_, "rb"))
      return Status::file(Status::Code::CannotOpen, temp2Path_, errno);
    if (Status copied = copyStream(archive_, data_, listener_); !copied) return copied;
    data_.close();
    if (!archive_.close()) return Status::file(Status::Code::CannotWrite, partPath_, errno);
    platform::removeFile(temp2Path_);
    if (!platform::replaceFile(partPath_, job_.archivePath)) {
      const int error = errno;
      return Status::rename(partPath_, job_.archivePath, error);
    }
    return Status::ok();
  }

  Status writeEntry(std::size_t index) {
    const CollectedFile& file = files_[index];
    const std::string sourcePath = platform::joinPath(job_.rootFolder, file.nativePath);
    FileHolder entry;
    if (!entry.open(sourcePath, "rb"))
      return Status::file(Status::Code::CannotOpen, sourcePath, errno);
    const std::uint64_t sourceSize = entry.size();
    entry.close();
    if (sourceSize > MAX_ENTRY_SIZE) {
      return Status::file(Status::Code::FileTooLarge, sourcePath);
    }

    const std::string name = normalizeName(file.name);
    if (!archive_.writeBytes(name.c_str(), name.size() + 1))
      return Status::file(Status::Code::CannotWrite, partPath_, errno);
    listener_.onEvent({PackEvent::Kind::EntryStarted, name, index + 1, files_.size()});

    const EncodedEntry encoded = encodeEntry({name, sourcePath}, tempPath_, listener_, &worker_);
    if (!encoded.status) return encoded.status;

    if (!entry.open(tempPath_, "rb"))
      return Status::file(Status::Code::CannotOpen, tempPath_, errno);
    const std::uint64_t storedSize = entry.size();
    if (storedSize > MAX_ENTRY_SIZE || offset_ + storedSize > MAX_ENTRY_SIZE) {
      return Status::file(Status::Code::DataTooLarge, {});
    }
    listener_.onEvent({PackEvent::Kind::EntrySizes, {}, sourceSize, storedSize});

    if (!archive_.writeBytes(&encoded.type, 1) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(offset_)) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(storedSize)) ||
        !archive_.writeBE32(static_cast<std::uint32_t>(sourceSize))) {
      return Status::file(Status::Code::CannotWrite, partPath_, errno);
    }
    if (Status copied = copyStream(data_, entry, listener_); !copied) return copied;
    offset_ += storedSize;
    entry.close();
    platform::removeFile(tempPath_);
    return Status::ok();
  }

  const ArchiveJob& job_;
  const std::vector<CollectedFile>& files_;
  PackListener& listener_;
  const std::string partPath_;
  const std::string tempPath_;
  const std::string temp2Path_;
  FileHolder archive_;
  FileHolder data_;
  WorkerThread worker_;  // the LZSS coder's second thread, for every entry of the run
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

Status buildArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                    PackListener& listener) {
  return Writer(job, files, listener).run();
}

}  // namespace kupack
