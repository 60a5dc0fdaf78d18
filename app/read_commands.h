// The reading commands of the kupack program: list an archive (a table or JSON), extract
// it or some of its entries below a folder, write entries to standard output, and test it
// (every entry decodes; optionally every entry equals the file it came from). Each prints
// its results on standard output, its failures on standard error, and returns the exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "archive/entry_selection.h"
#include "codec/entry_type.h"
#include "platform/file.h"

namespace kupack {

enum class ListFormat { Table, Json };

// An entry's coding as -l's table shows it ("stored", "SPB", "LZSS") and as its JSON names
// it ("stored", "spb", "lzss"); -u, --delete and --diff show codings the same way.
const char* typeName(EntryType type);
const char* jsonTypeName(EntryType type);

// `kupack -l ARCHIVE [NAME...]`: one line per entry (stored size, source size, ratio, type,
// name) and a total line; with Json an array of objects (name as UTF-8, type, offset,
// stored_size, source_size). `names` choose entries as for -x (all when empty). `withCrc`
// (--long) decodes each entry and adds the CRC-32 of its decoded bytes (a column; "crc32"
// in JSON). 1 when the archive cannot be read or breaks the format, a name selects nothing
// or an entry does not decode, else 0.
// Each command reads the archive, and -t the folder's files, through `files` (the system's
// files for nullptr).
int listArchiveCommand(const std::string& archivePath, ListFormat format = ListFormat::Table,
                       const std::vector<std::string>& names = {}, bool withCrc = false,
                       platform::FileSystem* files = nullptr);

// `kupack -x ARCHIVE [NAME...] [-C DIR]`: writes every entry (or only those `names` select,
// see selectEntries) below `targetDir` (the current folder when empty; made when
// missing): stored and LZSS entries as the original bytes, SPB entries as a 24-bit BMP of
// the picture. Names that are absolute, hold a drive letter or a ".." level, or would lead
// through a link are refused, and an existing file is kept unless `force`. A name that
// selects nothing is reported (with a hint towards -C when it is a folder on disk, or
// nothing at all, as a target folder would be) and nothing is extracted. 1 when anything
// was refused or failed, else 0. `jobs` threads decode (one per core when 0). The files are
// written through `files` (the system's files for nullptr).
int extractArchiveCommand(const std::string& archivePath, const std::string& targetDir, bool force,
                          const std::vector<std::string>& names = {}, unsigned jobs = 0,
                          platform::FileSystem* files = nullptr);

// `kupack -p ARCHIVE NAME...`: the selected entries' bytes, one after another in the order
// named, on standard output, as -x would write them. 1 when a name selects nothing
// (nothing is written then), an entry does not decode or standard output fails. Entries are
// decoded on `jobs` threads (one per core when 0); the bytes are the same for every `jobs`.
int printEntriesCommand(const std::string& archivePath, const std::vector<std::string>& names,
                        unsigned jobs = 0, platform::FileSystem* files = nullptr);

// `kupack -t ARCHIVE [FOLDER]`: decodes every entry and checks its size; with
// `sourceFolder`, also compares each entry with the file it came from and reports files
// missing from either side. Prints a summary line; 0 when everything matches, 1 when the
// archive and the folder differ, 2 when the archive is broken or a file cannot be read.
// `excludes` (--exclude) leave files of the folder out as packing with them does.
int testArchiveCommand(const std::string& archivePath,
                       const std::optional<std::string>& sourceFolder,
                       const ExcludeRules* excludes = nullptr, unsigned jobs = 0,
                       platform::FileSystem* files = nullptr);

}  // namespace kupack
