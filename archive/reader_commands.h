// The reading side of the kupack program: list an archive, extract it below a folder, and
// test it (every entry decodes; optionally every entry equals the file it came from).
// Each command prints through the console and returns the program's exit status.
#pragma once

#include <optional>
#include <string>

namespace kupack {

// `kupack -l ARCHIVE`: one line per entry (stored size, source size, ratio, type, name)
// and a total line. 1 when the archive cannot be read or breaks the format, else 0.
int listArchiveCommand(const std::string& archivePath);

// `kupack -x ARCHIVE [DIR]`: writes every entry below `targetDir` (the current folder
// when empty; made when missing): stored and LZSS entries as the original bytes, SPB
// entries as a 24-bit BMP of the picture. Names that are absolute, hold a drive letter or
// a ".." level, or would lead through a link are refused, and an existing file is kept
// unless `force`. 1 when anything was refused or failed, else 0.
int extractArchiveCommand(const std::string& archivePath, const std::string& targetDir, bool force);

// `kupack -t ARCHIVE [FOLDER]`: decodes every entry and checks its size; with
// `sourceFolder`, also compares each entry with the file it came from and reports files
// missing from either side. Prints a summary line; 0 only when everything matches.
int testArchiveCommand(const std::string& archivePath,
                       const std::optional<std::string>& sourceFolder);

}  // namespace kupack
