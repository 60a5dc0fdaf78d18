#include "app/read_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "app/catalogue.h"
#include "app/crc_sink.h"
#include "app/status_text.h"
#include "archive/archive_reader.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "archive/read_jobs.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {

const char* typeName(EntryType type) {
  switch (type) {
    case ENTRY_STORED:
      return "stored";
    case ENTRY_SPB:
      return "SPB";
    case ENTRY_LZSS:
      return "LZSS";
  }
  return "?";
}

const char* jsonTypeName(EntryType type) {
  switch (type) {
    case ENTRY_SPB:
      return "spb";
    case ENTRY_LZSS:
      return "lzss";
    case ENTRY_STORED:
      break;
  }
  return "stored";
}

namespace {

using ull = unsigned long long;

// Stored size as a share of the source size in whole percent, truncated; 0 for an empty
// source (the writer shows the same figure).
ull ratioPercent(std::uint64_t stored, std::uint64_t source) {
  if (source == 0) return 0;
  return static_cast<ull>(static_cast<double>(stored) * 100.0 / static_cast<double>(source));
}
std::string shown(const std::string& nativePath) {
  return platform::nativeToConsoleText(nativePath);
}

std::string errorText(int errorNumber) {
  return platform::nativeToConsoleText(std::strerror(errorNumber));
}

std::string entryShown(const ArchiveEntry& entry) { return entryNameForConsole(entry.name); }

Status duplicateEntry(const ArchiveReader& reader, const ArchiveEntry& entry) {
  return Status::refused(Status::Reason::DuplicateEntry)
      .inFile(reader.nativePath())
      .atEntry(entry.name);
}

// Shows each entry's outcome: what was extracted on standard output, the rest on standard
// error; counts them for the summary.
class ConsoleReadReport final : public ReadReport {
 public:
  void onExtracted(const ArchiveEntry& entry) override {
    ++extracted;
    consolePrint(tr("extracted %s\n"), entryShown(entry).c_str());
  }
  void onRefused(const ArchiveEntry& entry, const Status& reason) override {
    ++refused;
    consoleErrorPrint(tr("refused %s: %s\n"), entryShown(entry).c_str(), statusCause(reason).c_str());
  }
  void onFailed(const Status& failure) override {
    ++failed;
    consoleError(prefix_ + statusText(failure));
  }
  void onDiffers(const Status& finding) override {
    ++differing;
    consoleError(prefix_ + statusText(finding));
  }

  explicit ConsoleReadReport(std::string failurePrefix) : prefix_(std::move(failurePrefix)) {}
  ull extracted = 0;
  ull refused = 0;
  ull failed = 0;
  ull differing = 0;

 private:
  std::string prefix_;
};

// Whether an argument of -x that selects nothing was most likely meant as the target folder
// (tar's habit, or the form of older kupack versions): it is a folder on disk, or it is the
// first argument, no pattern, and nothing on disk has its name.
bool looksLikeTargetFolder(const std::string& name, bool first) {
  if (platform::isFolder(name)) return true;
  return first && !NameSelector(name).isPattern() && !platform::pathExists(name);
}

// The entries `names` select (all when there are none), or nullopt after naming on standard
// error each name that selects nothing. With `targetHint` (-x), the message for a name that
// looks like a target folder says how to give one.
std::optional<std::vector<const ArchiveEntry*>> chosenEntries(const ArchiveReader& reader,
                                                              const std::vector<std::string>& names,
                                                              bool targetHint = false) {
  std::vector<std::string> unknown;
  std::vector<const ArchiveEntry*> chosen;
  if (names.empty()) {
    for (const auto& entry : reader.entries()) chosen.push_back(&entry);
    return chosen;
  }
  chosen = selectEntries(reader, names, unknown);
  for (const auto& name : unknown) {
    const bool first = name == names.front();
    if (targetHint && looksLikeTargetFolder(name, first)) {
      consoleErrorPrint(tr("%s: no entry %s (to extract into a folder, use -C %s)\n"),
                        reader.shownPath().c_str(), shown(name).c_str(), shown(name).c_str());
    } else {
      consoleErrorPrint(tr("%s: no entry %s\n"), reader.shownPath().c_str(), shown(name).c_str());
    }
  }
  if (!unknown.empty()) return std::nullopt;
  return chosen;
}

// The entries -p writes: those each name selects, name after name, so that a name given
// twice is written twice (as `cat a b a` would); nullopt as chosenEntries gives it.
std::optional<std::vector<const ArchiveEntry*>> printedEntries(
    const ArchiveReader& reader, const std::vector<std::string>& names) {
  std::vector<const ArchiveEntry*> printed;
  bool allKnown = true;
  for (const std::string& name : names) {
    const auto chosen = chosenEntries(reader, {name});  // names what selects nothing
    if (!chosen) allKnown = false;
    if (chosen && allKnown) printed.insert(printed.end(), chosen->begin(), chosen->end());
  }
  if (!allKnown) return std::nullopt;
  return printed;
}

// Says once, on standard error, when names among `entries` may have been changed by the
// archive's byte-by-byte lower-casing (mayHaveLoweredSecondByte).
void noteLoweredNames(const std::vector<const ArchiveEntry*>& entries) {
  const ArchiveEntry* first = nullptr;
  std::size_t count = 0;
  for (const ArchiveEntry* entry : entries) {
    if (!mayHaveLoweredSecondByte(entry->name)) continue;
    if (count++ == 0) first = entry;
  }
  if (first) consoleError(statusText(loweredNamesNote(first->name, count)));
}

// ---- Listing ----------------------------------------------------------------------------

void printListLine(ull stored, ull source, const char* type, const std::string& name,
                   const std::string& crc = std::string()) {
  consolePrint("%12llu %12llu %5llu%%  %-6s  %s%s\n", stored, source, ratioPercent(stored, source),
               type, crc.c_str(), name.c_str());
}

// The CRC-32 of each chosen entry's decoded bytes, in order; nullopt after reporting the
// first entry that does not decode.
std::optional<std::vector<std::uint32_t>> entryCrcs(
    ArchiveReader& reader, const std::vector<const ArchiveEntry*>& chosen) {
  std::vector<std::uint32_t> crcs;
  crcs.reserve(chosen.size());
  for (const ArchiveEntry* entry : chosen) {
    CrcSink sink;
    if (Status status = decodeEntry(reader, *entry, sink); !status) {
      consoleError(statusText(status));
      return std::nullopt;
    }
    crcs.push_back(sink.value());
  }
  return crcs;
}

// ---- Listing as JSON --------------------------------------------------------------------

// The name as recorded, code page 932 bytes, in lower-case hexadecimal.
std::string hexBytes(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += DIGITS[value >> 4];
    hex += DIGITS[value & 0xF];
  }
  return hex;
}

std::string entriesAsJson(const std::vector<const ArchiveEntry*>& chosen,
                          const std::vector<std::uint32_t>& crcs) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const ArchiveEntry& entry = *chosen[i];
    nlohmann::ordered_json item = {{"name", platform::cp932ToUtf8Text(entry.name)},
                                   {"name_bytes", hexBytes(entry.name)},
                                   {"type", jsonTypeName(entry.type)},
                                   {"offset", entry.offset},
                                   {"stored_size", entry.storedSize},
                                   {"source_size", entry.sourceSize},
                                   {"duplicate", entry.duplicate}};
    if (i < crcs.size()) item["crc32"] = crcs[i];
    list.push_back(std::move(item));
  }
  // A name that is no code page 932 text keeps its bytes; they become U+FFFD in "name",
  // and "name_bytes" tells such names apart.
  return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Names each later entry of a name on standard error: no reader takes it.
void reportDuplicates(const ArchiveReader& reader) {
  for (const auto& entry : reader.entries()) {
    if (entry.duplicate) consoleError(statusText(duplicateEntry(reader, entry)));
  }
}

void printTable(const std::vector<const ArchiveEntry*>& chosen,
                const std::vector<std::uint32_t>& crcs, bool withCrc) {
  consolePrint("%12s %12s %6s  %-6s  %s%s\n", "Stored", "Source", "Ratio", "Type",
               withCrc ? "CRC-32    " : "", "Name");
  ull stored = 0;
  ull source = 0;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const ArchiveEntry& entry = *chosen[i];
    printListLine(entry.storedSize, entry.sourceSize, typeName(entry.type), entryShown(entry),
                  i < crcs.size() ? formatText("%08lx  ", static_cast<unsigned long>(crcs[i]))
                                  : std::string());
    stored += entry.storedSize;
    source += entry.sourceSize;
  }
  const auto count = static_cast<ull>(chosen.size());
  printListLine(stored, source, "",
                formatText(count == 1 ? tr("%llu entry") : tr("%llu entries"), count),
                withCrc ? std::string(10, ' ') : std::string());
}

// Opens and checks the archive; false, with the reason on standard error, when it cannot.
bool openArchive(ArchiveReader& reader, const std::string& archivePath) {
  if (Status status = reader.open(archivePath); !status) {
    consoleError(statusText(status));
    return false;
  }
  return true;
}

}  // namespace

int listArchiveCommand(const std::string& archivePath, ListFormat format,
                       const std::vector<std::string>& names, bool withCrc,
                       platform::FileSystem* files) {
  ArchiveReader reader(files);
  if (!openArchive(reader, archivePath)) return 1;
  const auto chosen = chosenEntries(reader, names);
  if (!chosen) return 1;
  std::vector<std::uint32_t> crcs;
  if (withCrc) {
    auto computed = entryCrcs(reader, *chosen);
    if (!computed) return 1;
    crcs = std::move(*computed);
  }
  if (format == ListFormat::Json) {
    consoleOutputBytes(entriesAsJson(*chosen, crcs));
  } else {
    printTable(*chosen, crcs, withCrc);
  }
  reportDuplicates(reader);
  return 0;
}

int extractArchiveCommand(const std::string& archivePath, const std::string& targetDir, bool force,
                          const std::vector<std::string>& names, unsigned jobs,
                          platform::FileSystem* files) {
  ArchiveReader reader(files);
  if (!openArchive(reader, archivePath)) return 1;
  const auto chosen = chosenEntries(reader, names, true);
  if (!chosen) return 1;
  const std::string root = targetDir.empty() ? std::string(".") : targetDir;
  if (!platform::isFolder(root) && !platform::makeFolders(root)) {
    consoleErrorPrint(tr("%s: cannot make the folder (%s)\n"), shown(root).c_str(),
                      errorText(errno).c_str());
    return 1;
  }
  // Ctrl-C and the like remove the file being written before the run ends.
  platform::installEarlyEndCleanup();
  noteLoweredNames(*chosen);
  ConsoleReadReport report(tr("failed "));
  extractEntries(reader, *chosen, root, force, report, jobs, files);
  consolePrint(tr("%llu extracted, %llu refused, %llu failed\n"), report.extracted, report.refused,
               report.failed);
  return report.refused + report.failed == 0 ? 0 : 1;
}

int printEntriesCommand(const std::string& archivePath, const std::vector<std::string>& names,
                        unsigned jobs, platform::FileSystem* files) {
  ArchiveReader reader(files);
  if (!openArchive(reader, archivePath)) return 1;
  const auto chosen = printedEntries(reader, names);
  if (!chosen) return 1;
  platform::prepareOutputForBytes();
  OpenStreamSink sink(stdout);
  bool duplicates = false;
  const PrintOutcome outcome =
      printEntries(reader, *chosen, sink, jobs, [&](const ArchiveEntry& entry) {
        consoleError(statusText(duplicateEntry(reader, entry)));
        duplicates = true;
      });
  if (!outcome.status) {
    if (sink.error() == 0) {
      consoleError(statusText(outcome.status));
    } else {
      consoleErrorPrint(tr("%s: cannot write to standard output (%s)\n"),
                        entryShown(*outcome.entry).c_str(), errorText(sink.error()).c_str());
    }
    return 1;
  }
  errno = 0;
  if (std::fflush(stdout) != 0) {
    consoleErrorPrint(tr("cannot write to standard output (%s)\n"),
                      errorText(errno != 0 ? errno : EIO).c_str());
    return 1;
  }
  return duplicates ? 1 : 0;
}

int testArchiveCommand(const std::string& archivePath,
                       const std::optional<std::string>& sourceFolder, const ExcludeRules* excludes,
                       unsigned jobs, platform::FileSystem* files) {
  ArchiveReader reader(files);
  if (Status status = reader.open(archivePath); !status) {
    consoleError(statusText(status));
    consoleErrorPrint(tr("%s: test failed\n"), reader.shownPath().c_str());
    return 2;
  }
  ConsoleReadReport report("");
  if (!testEntries(reader, sourceFolder, report, excludes, jobs)) {
    consoleErrorPrint(tr("%s: cannot read the folder (%s)\n"), shown(*sourceFolder).c_str(),
                      errorText(errno).c_str());
    return 2;
  }
  const ull problems = report.failed + report.differing;
  const auto count = static_cast<ull>(reader.entries().size());
  const std::string tested =
      sourceFolder
          ? formatText(count == 1 ? tr("%llu entry tested against %s")
                                  : tr("%llu entries tested against %s"),
                       count, shown(*sourceFolder).c_str())
          : formatText(count == 1 ? tr("%llu entry tested") : tr("%llu entries tested"), count);
  if (problems == 0) {
    consolePrint(tr("%s: all match\n"), tested.c_str());
    return 0;
  }
  consolePrint(problems == 1 ? tr("%s: %llu problem\n") : tr("%s: %llu problems\n"), tested.c_str(),
               problems);
  return report.failed != 0 ? 2 : 1;
}

}  // namespace kupack
