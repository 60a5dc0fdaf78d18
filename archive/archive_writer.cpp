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
        partPath_(partialArchivePath(job.archivePath)) {}

  Status run() {
    Status status = writeAll();
    archive_.close();
    data_.close();
    if (!tempPath_.empty()) platform::removeFile(tempPath_);
    if (!temp2Path_.empty()) platform::removeFile(temp2Path_);
    if (!status && archive_.path() == partPath_) platform::removeFile(partPath_);
    return status;
  }

 private:
  Status writeAll() {
    // Every file of the run is new, made under a name of its own and never through a link.
    if (!archive_.createUnique(job_.archivePath, ".part", &partCleanup_))
      return Status::file(Status::Code::CannotCreate, partPath_, errno);
    partPath_ = archive_.path();
    if (!archive_.writeBE16(static_cast<std::uint32_t>(files_.size() & 0xFFFF)) ||
        !archive_.writeBE32(directoryEnd(files_))) {
      return Status::file(Status::Code::CannotWrite, partPath_, errno);
    }
    if (!data_.createUnique(dataTempPath(job_.startFolder), ".tmp", &temp2Cleanup_))
      return Status::file(Status::Code::CannotCreate, dataTempPath(job_.startFolder), errno);
    temp2Path_ = data_.path();
    FileHolder entryTemp;
    if (!entryTemp.createUnique(entryTempPath(job_.startFolder), ".tmp", &tempCleanup_))
      return Status::file(Status::Code::CannotCreate, entryTempPath(job_.startFolder), errno);
    tempPath_ = entryTemp.path();
    entryTemp.close();
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
    // The coder read exactly the length it found; the file must still have the one recorded.
    if (platform::fileSize(sourcePath) != sourceSize)
      return Status::file(Status::Code::SourceChanged, sourcePath);

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
    return Status::ok();
  }

  const ArchiveJob& job_;
  const std::vector<CollectedFile>& files_;
  PackListener& listener_;
  std::string partPath_;  // the name the archive is written under, once made
  std::string tempPath_;
  std::string temp2Path_;
  // Registered for removal should the run end early, until the writer is done with them.
  platform::RemovedOnEarlyEnd partCleanup_;
  platform::RemovedOnEarlyEnd tempCleanup_;
  platform::RemovedOnEarlyEnd temp2Cleanup_;
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
