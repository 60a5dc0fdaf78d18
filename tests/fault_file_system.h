// A FileSystem for tests that wraps another (the system's by default) and injects faults
// deterministically: the Nth read or write fails, reads come back short, the disk fills after
// a number of bytes, and a hook runs before chosen reads of a file, to grow, shrink or
// rewrite it between two reads. It counts the opens of every path. Safe to use from the
// coding threads of a run; hooks run one at a time.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/file.h"

namespace kupack::test {

class FaultFileSystem final : public platform::FileSystem {
 public:
  explicit FaultFileSystem(platform::FileSystem& inner = platform::realFileSystem())
      : inner_(inner) {}

  // The `n`th read (from 1, counted over every file) fails with `error`.
  void failRead(std::size_t n, int error = EIO);
  // The `n`th write (from 1, counted over every file written) fails with `error`.
  void failWrite(std::size_t n, int error = EIO);
  // Every read gives at most `most` bytes (at least 1).
  void shortReads(std::size_t most);
  // The disk holds `bytes` written bytes in all: a write that would pass that writes what
  // still fits and fails with ENOSPC.
  void fillDiskAfter(std::uint64_t bytes);
  // Runs `hook` before each read of a file whose path ends in `name`, with the number of
  // reads of that file before this one (0 for the first).
  using ReadHook = std::function<void(const std::string& path, std::size_t readsBefore)>;
  void beforeRead(const std::string& name, ReadHook hook);

  // The reads made so far, over every file.
  std::size_t reads() const;
  // How often `path` was opened for reading.
  std::size_t opensOf(const std::string& path) const;
  // Every path opened for reading, with its count.
  std::map<std::string, std::size_t> opens() const;
  // The most files open for reading at once so far.
  std::size_t peakOpen() const;

  Status openReadable(const std::string& path,
                      std::unique_ptr<platform::ReadableFile>& file) override;
  Status createUnique(const std::string& stem, const std::string& suffix,
                      platform::RemovedOnEarlyEnd* removal,
                      std::unique_ptr<platform::WritableFile>& file) override;
  // Scratch files' reads and writes count, and fail, with the others'.
  Status createScratch(std::unique_ptr<platform::ScratchFile>& file) override;
  // Staged files (extraction's) count their writes with the others: failWrite and
  // fillDiskAfter apply to them alike.
  platform::StagedCreation createStaged(const std::string& root,
                                        const std::vector<std::string>& levels,
                                        bool replace) override;
  // Runs `hook` with the path of each staged file just before it is placed: to put
  // something at its name while it was written.
  void beforePlace(std::function<void(const std::string& path)> hook);

 private:
  class Readable;
  class Writable;
  class Scratch;
  class Staged;

  // What happens to one read: the bytes it may give and the error it fails with (0: none).
  struct ReadFate {
    std::size_t most;
    int error;
  };
  ReadFate beforeReading(const std::string& path, std::size_t wanted);
  // How many of `wanted` bytes a write may put, and the error after them (0: none).
  std::size_t beforeWriting(std::size_t wanted, int& error);
  // One write of `bytes` by `write(allowed)` as the faults let it go: cut short, then failed
  // naming `path` (empty: a scratch file's) when the disk is full or the write is to fail.
  template <class Write>
  Status writeWithFaults(const std::string& path, std::span<const std::uint8_t> bytes,
                         Write write);
  // A copy of `length` bytes as one write: OK, or the failure naming `path`, before it is made.
  Status beforeCopying(const std::string& path, std::uint64_t length);
  void beforePlacing(const std::string& path);

  platform::FileSystem& inner_;
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> opens_;
  std::map<std::string, std::size_t> readsOf_;
  std::size_t openNow_ = 0;
  std::size_t peakOpen_ = 0;
  std::size_t reads_ = 0;
  std::size_t writes_ = 0;
  std::size_t failingRead_ = 0;
  int readError_ = 0;
  std::size_t failingWrite_ = 0;
  int writeError_ = 0;
  std::size_t shortest_ = 0;  // 0: reads are not cut
  std::uint64_t diskRoom_ = UINT64_MAX;
  std::string hookedName_;
  ReadHook hook_;
  std::function<void(const std::string&)> placeHook_;
};

}  // namespace kupack::test
