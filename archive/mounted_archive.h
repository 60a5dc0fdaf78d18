// An archive as a read-only tree of folders and files, for the mount: every entry under
// the native path `-x` gives it, with the bytes `-x` writes (SPB pictures as 24-bit BMP
// files). Sizes are known without decoding; coded entries are decoded once, on their
// first read, into the decode cache (at most twice its budget in memory, the rest in
// unnamed temporary files), however many readers wait for them: large entries on a pool
// of one thread a core, each read served once the bytes it asks for are decoded. The
// archive stays open;
// once the file under its name is replaced or changed, reads fail with EIO rather than
// give other bytes, as do reads of entries that cannot be decoded. This is the adapter
// between the file system's calls and the archive: the tree is an EntryTree, the decoded
// bytes a DecodeCache, the archive an ArchiveReader.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/decode_cache.h"
#include "archive/entry_tree.h"
#include "common/status.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "platform/read_only_mount.h"

namespace kupack {

inline constexpr std::uint64_t DEFAULT_MOUNT_CACHE_BYTES = std::uint64_t{64} << 20;

class MountedArchive final : public platform::ReadOnlyFileSystem {
 public:
  // Receives what the user should hear of: entries left out of the tree when opening (and a
  // note on names that may have been lowered at packing), and each entry that fails to
  // decode or read, once; each names the archive and the entry.
  using Reporter = std::function<void(const Status&)>;

  // The archive and the decode cache's scratch files are opened through `files` (the
  // system's files for nullptr).
  MountedArchive(std::uint64_t cacheBudget, Reporter report, platform::FileSystem* files = nullptr);
  ~MountedArchive() override;

  // Opens and checks the archive as `-l` does (a broken directory, a folder or anything
  // but a regular file is refused, in -l's words), holds it open and builds the tree.
  // Entries whose names `-x` refuses, and later entries whose path another entry already
  // takes, are left out (and reported).
  Status open(const std::string& archivePath);

  // The mount covers the archive's own folder, so that its name leads into the mount:
  // changes are then watched through the open archive alone (a replaced archive is seen
  // once the file it was has lost its last name).
  void watchOpenArchiveOnly() { watchOpenArchiveOnly_ = true; }

  int lookup(std::uint64_t parent, std::string_view name, platform::NodeAttributes& child) override;
  int getattr(std::uint64_t node, platform::NodeAttributes& attributes) override;
  int readdir(std::uint64_t folder, std::uint64_t start, const ChildSink& add) override;
  int open(std::uint64_t node, std::uint64_t& handle) override;
  int read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buffer,
           std::size_t& got) override;
  void release(std::uint64_t handle) override;
  std::int64_t modificationTime() const override { return modificationTime_; }

  // How many decodes have begun so far, how many decoded bytes of closed entries memory
  // keeps, and the most decoded bytes memory has held at once (for tests and measurements).
  std::uint64_t decodeCount() const { return cache_.decodeCount(); }
  std::uint64_t cachedBytes() const { return cache_.cachedBytes(); }
  std::uint64_t peakMemoryBytes() const { return cache_.peakMemoryBytes(); }

 private:
  const ArchiveEntry& entryAt(std::size_t index) const { return reader_.entries()[index]; }
  platform::NodeAttributes attributesOf(std::uint32_t node);
  std::uint64_t entrySize(std::size_t entry);
  bool isBrokenPicture(std::size_t entry);
  void reportBrokenPicture(std::size_t entry);
  bool archiveUnchanged();

  bool decodeEntryInto(std::size_t entry, ByteSink& sink);
  void reportOnce(std::size_t entry, Status problem);

  Reporter report_;
  ArchiveReader reader_;
  std::string archivePath_;  // absolute, for the replacement check
  std::string givenPath_;    // as given to open(), for naming the archive in reports
  std::int64_t modificationTime_ = 0;
  EntryTree tree_;
  // Sizes of SPB entries' BMP files, learned from their headers on first need; 0 until
  // then, BROKEN_PICTURE when the header gives none.
  std::unique_ptr<std::atomic<std::uint64_t>[]> pictureSizes_;
  std::atomic<bool> replaced_{false};
  bool watchOpenArchiveOnly_ = false;

  std::mutex reportedMutex_;
  std::vector<bool> reported_;
  // Last: its decoding threads, which read the archive and report, end before anything
  // they use.
  DecodeCache cache_;
};

}  // namespace kupack
