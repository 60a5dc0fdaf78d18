#include "archive/read_jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <utility>

#include "archive/archive_format.h"
#include "archive/bitmap_file.h"
#include "archive/collector.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "codec/bitmap.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using ull = unsigned long long;

constexpr std::size_t CHUNK_SIZE = 1 << 20;

std::string shown(const std::string& nativePath) {
  return platform::nativeToConsoleText(nativePath);
}

std::string errorText(int errorNumber) {
  return platform::nativeToConsoleText(std::strerror(errorNumber));
}

std::string entryShown(const ArchiveEntry& entry) { return entryNameForConsole(entry.name); }

// Reads a source file in chunks for comparisons; remembers why it could not.
class SourceFile {
 public:
  explicit SourceFile(const std::string& nativePath) {
    std::uint64_t size = 0;
    in_ = platform::openForReading(nativePath, size);
  }
  ~SourceFile() {
    if (in_ != nullptr) std::fclose(in_);
  }
  SourceFile(SourceFile&& other) noexcept
      : in_(std::exchange(other.in_, nullptr)), buffer_(std::move(other.buffer_)) {}
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  SourceFile& operator=(SourceFile&&) = delete;

  bool isOpen() const { return in_ != nullptr; }
  // Compares the next `expected.size()` bytes of the file with `expected`.
  bool nextEquals(std::span<const std::uint8_t> expected) {
    buffer_.resize(expected.size());
    if (std::fread(buffer_.data(), 1, buffer_.size(), in_) != buffer_.size()) return false;
    return std::equal(buffer_.begin(), buffer_.end(), expected.begin());
  }
  // True when the file has no byte left.
  bool atEnd() { return std::fgetc(in_) == EOF; }

 private:
  std::FILE* in_ = nullptr;
  std::vector<std::uint8_t> buffer_;
};

// Compares decoded pieces with the next bytes of a source file; stops at the first difference.
class ComparingSink final : public ByteSink {
 public:
  explicit ComparingSink(SourceFile& source) : source_(source) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (differs_) return true;
    if (!source_.nextEquals(bytes)) differs_ = true;
    return true;
  }
  bool differs() const { return differs_; }

 private:
  SourceFile& source_;
  bool differs_ = false;
};

// Compares decoded rows, top first, with a picture's rows read from its file.
class PictureComparingSink final : public ByteSink {
 public:
  explicit PictureComparingSink(SpbRows& picture) : picture_(picture), rows_(picture) {}
  bool put(std::span<const std::uint8_t> row) override {
    if (differs_ || row.size() != std::size_t{picture_.width()} * 3) {
      differs_ = true;
      return true;
    }
    const std::uint8_t* sourceRow = rows_.next();
    if (sourceRow == nullptr || !std::equal(row.begin(), row.end(), sourceRow)) differs_ = true;
    return true;
  }
  bool differs() const { return differs_; }
  bool readFailed() const { return rows_.failed(); }

 private:
  SpbRows& picture_;
  SpbRowWalker rows_;
  bool differs_ = false;
};

// ---- Extracting -------------------------------------------------------------------------

class Extractor {
 public:
  Extractor(ArchiveReader& reader, std::string root, bool force, ReadReport& report)
      : reader_(reader),
        root_(std::move(root)),
        force_(force),
        report_(report),
        archiveIdentity_(platform::folderIdentity(reader.nativePath())) {}

  void extract(const ArchiveEntry& entry) {
    try {
      extractOne(entry);
    } catch (const std::bad_alloc&) {
      fail(entryShown(entry) + ": not enough memory to extract it\n");
    }
  }

 private:
  // Writes the entry under a temporary name in its folder and gives the file its name only
  // once complete, so that a broken entry or a failed write leaves nothing behind and never
  // changes a file it was to replace, and a link at the name is replaced, not written through.
  void extractOne(const ArchiveEntry& entry) {
    if (entry.duplicate) return refuse(entry, DUPLICATE_ENTRY);
    std::string refusal;
    const auto levels = entryPathLevels(entry.name, refusal);
    if (!levels) return refuse(entry, refusal);
    std::string target = root_;
    for (const auto& level : *levels) target = platform::joinPath(target, level);
    if (force_ && archiveIdentity_ && platform::folderIdentity(target) == archiveIdentity_) {
      return refuse(entry, shown(target) + " is the archive being read");
    }
    platform::CreatedFile created = platform::createFileBelow(root_, *levels, force_);
    if (created.result != platform::CreateBelowResult::Created) {
      return reportNotCreated(entry, target, created);
    }
    OpenStreamSink sink(created.file.stream());
    if (Status status = decodeEntry(reader_, entry, sink); !status) {
      created.file.discard();
      if (sink.error() != 0) return failWrite(entry, target, sink.error());
      return fail(status.message());
    }
    errno = 0;
    if (!created.file.place()) {
      const int error = errno != 0 ? errno : EIO;
      if (error == EEXIST && !force_)
        return refuse(entry, shown(target) + " exists (-f replaces it)");
      return failWrite(entry, target, error);
    }
    report_.onExtracted(entry);
  }

  void failWrite(const ArchiveEntry& entry, const std::string& target, int error) {
    fail(entryShown(entry) + ": cannot write " + shown(target) + " (" + errorText(error) + ")\n");
  }

  void reportNotCreated(const ArchiveEntry& entry, const std::string& target,
                        const platform::CreatedFile& created) {
    switch (created.result) {
      case platform::CreateBelowResult::Exists:
        return refuse(entry, shown(target) + " exists (-f replaces it)");
      case platform::CreateBelowResult::ThroughLink:
        return refuse(entry, "its path below the target folder leads through a link");
      case platform::CreateBelowResult::NotAFolder:
        return refuse(entry, "a folder on its path exists as a file");
      case platform::CreateBelowResult::Created:
      case platform::CreateBelowResult::Failed:
        break;
    }
    fail(entryShown(entry) + ": cannot create " + shown(target) + " (" +
         errorText(created.errorNumber) + ")\n");
  }

  void refuse(const ArchiveEntry& entry, const std::string& reason) {
    report_.onRefused(entry, reason);
  }

  void fail(const std::string& message) { report_.onFailed(message); }

  ArchiveReader& reader_;
  std::string root_;
  bool force_;
  ReadReport& report_;
  // Replacing the archive while it is read would lose it.
  std::optional<platform::FolderIdentity> archiveIdentity_;
};

// ---- Testing ----------------------------------------------------------------------------

// The files of a source folder under the names an archive of it records.
struct SourceIndex {
  std::string root;
  std::map<std::string, std::string> pathByName;  // normalized name -> native path
  std::set<std::string> matched;
};

class Tester {
 public:
  Tester(ArchiveReader& reader, ReadReport& report) : reader_(reader), report_(report) {}

  // Walks `folder` the way the writer collects it (the archive itself and what `excludes`
  // leave out left out); false
  // when the folder cannot be read.
  bool indexSource(const std::string& folder, const ExcludeRules* excludes) {
    const std::string base = platform::currentDirectory().value_or(".");
    source_.emplace();
    source_->root = platform::absolutePath(folder, base);
    CollectRequest request;
    request.rootFolder = source_->root;
    request.excludedPaths.push_back(platform::absolutePath(reader_.nativePath(), base));
    if (excludes && !excludes->empty()) {
      request.leaveOut = [excludes](std::string_view name) { return excludes->excludes(name); };
    }
    Collection collection;
    bool readable = false;
    {
      // The walk reports every subfolder it enters; a test shows only its findings.
      SilentPackListener quiet;
      readable = collectFiles(request, collection, quiet);
    }
    if (!readable) return false;
    for (const auto& file : collection.files) {
      const std::string name = normalizeName(file.name);
      const std::string path = platform::joinPath(source_->root, file.nativePath);
      if (!source_->pathByName.emplace(name, path).second) {
        differ(shown(path) + ": another file of the folder has the same archive name " +
               entryNameForConsole(name) + "\n");
      }
    }
    for (const auto& path : collection.namesWithoutCp932) {
      differ(shown(path) + ": its name has no Shift-JIS form, so no archive holds it\n");
    }
    for (const auto& path : collection.namesWithBackslash) {
      differ(shown(path) + ": its name holds '\\', so no archive holds it\n");
    }
    for (const auto& unreadable : collection.unreadableFolders) {
      problem(shown(unreadable.path) + ": cannot read the folder (" +
              errorText(unreadable.errorNumber) + ")\n");
    }
    return true;
  }

  void test(const ArchiveEntry& entry) {
    try {
      testOne(entry);
    } catch (const std::bad_alloc&) {
      problem(entryShown(entry) + ": not enough memory to test it\n");
    }
  }

  // Reports every file of the folder that no entry named.
  void reportUnarchivedFiles() {
    if (!source_) return;
    for (const auto& [name, path] : source_->pathByName) {
      if (source_->matched.count(name) == 0) {
        differ(entryNameForConsole(name) + ": missing from the archive\n");
      }
    }
  }

  ull problems() const { return problems_; }

 private:
  void testOne(const ArchiveEntry& entry) {
    if (entry.duplicate) return problem(entryShown(entry) + ": " + DUPLICATE_ENTRY + "\n");
    const std::string* sourcePath = nullptr;
    if (source_) {
      const auto found = source_->pathByName.find(entry.name);
      if (found == source_->pathByName.end()) {
        differ(entryShown(entry) + ": missing from the folder\n");
      } else {
        source_->matched.insert(entry.name);
        sourcePath = &found->second;
        // Pictures are compared as pictures: a BMP file of the same picture matches
        // whatever its size or layout.
        if (entry.type == ENTRY_SPB ? !sourceIsRegularFile(entry, *sourcePath)
                                    : !sourceSizeMatches(entry, *sourcePath)) {
          sourcePath = nullptr;
        }
      }
    }
    switch (entry.type) {
      case ENTRY_STORED:
        return testStored(entry, sourcePath);
      case ENTRY_LZSS:
        return testLzss(entry, sourcePath);
      case ENTRY_SPB:
        return testSpb(entry, sourcePath);
    }
  }

  // Never opens a pipe or device for reading, which could wait forever.
  bool sourceIsRegularFile(const ArchiveEntry& entry, const std::string& path) {
    if (platform::fileSize(path)) return true;
    problem(entryShown(entry) + ": cannot open " + shown(path) + " (" + errorText(errno) + ")\n");
    return false;
  }

  bool sourceSizeMatches(const ArchiveEntry& entry, const std::string& path) {
    const auto size = platform::fileSize(path);
    if (!size) {
      problem(entryShown(entry) + ": cannot open " + shown(path) + " (" + errorText(errno) + ")\n");
      return false;
    }
    if (*size != entry.sourceSize) {
      differ(entryShown(entry) +
             formatText(": the file in the folder has %llu bytes, the archive recorded %llu\n",
                        ull{*size}, ull{entry.sourceSize}));
      return false;
    }
    return true;
  }

  // The file in the folder an entry is compared with, when there is one and it opens; a file
  // that does not open is a problem of the entry's.
  std::optional<SourceFile> openSource(const ArchiveEntry& entry, const std::string* sourcePath) {
    std::optional<SourceFile> source;
    if (!sourcePath) return source;
    source.emplace(*sourcePath);
    if (!source->isOpen()) {
      problem(entryShown(entry) + ": cannot open " + shown(*sourcePath) + "\n");
      source.reset();
    }
    return source;
  }

  void testStored(const ArchiveEntry& entry, const std::string* sourcePath) {
    std::optional<SourceFile> source = openSource(entry, sourcePath);
    buffer_.resize(CHUNK_SIZE);
    for (std::uint64_t done = 0; done < entry.storedSize;) {
      const auto piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE, entry.storedSize - done));
      const std::span<std::uint8_t> chunk(buffer_.data(), piece);
      if (Status status = reader_.readEntryBytes(entry, done, chunk); !status) {
        return problem(status.message());
      }
      if (source && !source->nextEquals(chunk)) {
        differ(entryShown(entry) + ": differs from the file in the folder\n");
        source.reset();
      }
      done += piece;
    }
    if (source && !source->atEnd()) {
      differ(entryShown(entry) + ": the file in the folder is longer than the entry\n");
    }
  }

  void testLzss(const ArchiveEntry& entry, const std::string* sourcePath) {
    ArchiveEntrySource stream(reader_, entry);
    std::optional<SourceFile> source = openSource(entry, sourcePath);
    if (!source) {
      CountingSink sink;
      if (Status status = decodeLzssEntry(entry, stream, sink); !status) problem(status.message());
      return;
    }
    ComparingSink sink(*source);
    if (Status status = decodeLzssEntry(entry, stream, sink); !status) {
      return problem(status.message());
    }
    if (sink.differs() || !source->atEnd()) {
      differ(entryShown(entry) + ": differs from the file in the folder\n");
    }
  }

  void testSpb(const ArchiveEntry& entry, const std::string* sourcePath) {
    ArchiveEntrySource stream(reader_, entry);
    SpbRowDecoder decoder(stream);
    if (Status status = checkSpbEntry(entry, stream, decoder); !status) {
      return problem(status.message());
    }
    if (!sourcePath) return;
    BitmapFile image;
    BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
    if (Status status = image.open(*sourcePath, verdict); !status) {
      return differ(entryShown(entry) + ": the file in the folder: " + status.message());
    }
    if (verdict != BitmapVerdict::CodeAsSpb) {
      return differ(entryShown(entry) +
                    ": the file in the folder is no picture the SPB coding holds\n");
    }
    PictureComparingSink sink(image.rows());
    if (image.rows().width() != decoder.width() || image.rows().height() != decoder.height()) {
      sink.put({});
    } else if (Status status = decoder.writeRows(false, sink); !status) {
      return problem(stream.failure() ? entryFailure(entry, status.detail()).message()
                                      : stream.failure().message());
    }
    if (sink.readFailed()) {
      return problem(entryShown(entry) + ": the file in the folder: " + image.failure().message());
    }
    if (sink.differs()) {
      differ(entryShown(entry) + ": the picture differs from the file in the folder\n");
    }
  }

  void problem(const std::string& message) {
    ++problems_;
    report_.onFailed(message);
  }

  // A finding where the archive and the folder differ (not a broken entry or a file that
  // cannot be read).
  void differ(const std::string& message) {
    ++problems_;
    report_.onDiffers(message);
  }

  ArchiveReader& reader_;
  ReadReport& report_;
  std::optional<SourceIndex> source_;
  std::vector<std::uint8_t> buffer_;
  ull problems_ = 0;
};

}  // namespace

void extractEntries(ArchiveReader& reader, const std::vector<const ArchiveEntry*>& entries,
                    const std::string& root, bool force, ReadReport& report) {
  Extractor extractor(reader, root, force, report);
  for (const ArchiveEntry* entry : entries) extractor.extract(*entry);
}

bool testEntries(ArchiveReader& reader, const std::optional<std::string>& sourceFolder,
                 ReadReport& report, const ExcludeRules* excludes) {
  Tester tester(reader, report);
  if (sourceFolder && !tester.indexSource(*sourceFolder, excludes)) return false;
  for (const auto& entry : reader.entries()) tester.test(entry);
  tester.reportUnarchivedFiles();
  return true;
}

}  // namespace kupack
