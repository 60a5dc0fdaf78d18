// Choosing entries by name, folder or pattern, as -x, -p and -l take them, and leaving files
// out of a packing run (--exclude). Names are matched as the archive records them: code page
// 932, '\' between levels, A to Z as a to z, so '/' may stand for '\' and letter case does
// not matter; a 0x5C that is the second byte of a two-byte character is no separator.
//
// Pattern rules, level by level: '*' any run of characters and '?' one character within a
// level; '[...]' one of the characters listed (ranges a-z, '!' or '^' first negates); a level
// that is exactly '**' stands for any number of levels, none included (elsewhere '**' is
// '*'). There is no escape character ('\' separates levels); a two-byte character is one
// character. Each level is matched by fnmatch(3) where the system has it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_reader.h"

namespace kupack {

// One selecting argument, read once: a name, a folder, or a pattern.
class NameSelector {
 public:
  // The argument as native text (a command-line word). Bytes that are text neither natively
  // nor in code page 932 are taken as recorded bytes. valid() is false when the argument
  // names no level at all or is text with no code page 932 form; it selects nothing then.
  explicit NameSelector(std::string_view nativeArgument);
  bool valid() const { return valid_; }
  bool isPattern() const { return pattern_; }
  // True when `levels` (a recorded name split at its separators, normalized) is selected:
  // the argument names it, names a folder above it, or is a pattern that matches it or a
  // folder above it.
  bool selects(const std::vector<std::string>& levels) const;
  // True when the argument, as a plain name, names exactly these levels or a folder above
  // them (patterns characters taken literally).
  bool namesLiterally(const std::vector<std::string>& levels) const;
  // True when the pattern matches all of `levels` (no folder above them).
  bool matchesWhole(const std::vector<std::string>& levels) const;
  std::size_t levelCount() const { return levels_.size(); }

 private:
  bool valid_ = false;
  bool pattern_ = false;
  std::vector<std::string> levels_;  // normalized code page 932
};

// The recorded (normalized) name `name` split into its levels.
std::vector<std::string> nameLevels(std::string_view name);

// The entries `names` select, in the order named, each once; within one argument in the
// archive's order. An argument that names an entry or folder exactly selects that; otherwise,
// when it holds '*', '?' or '[', it is a pattern (see above). Arguments that select nothing
// are added to `unknownNames`.
std::vector<const ArchiveEntry*> selectEntries(const ArchiveReader& reader,
                                               const std::vector<std::string>& names,
                                               std::vector<std::string>& unknownNames);

// The --exclude patterns of a packing run. A pattern of one level matches that level's name
// anywhere in the tree ('*.db', '.git'); a pattern of more levels matches from the packed
// folder down ('gfx/*.psd', '**/backup/*'). A folder that matches is left out whole and never
// walked.
class ExcludeRules {
 public:
  // False (nothing added) when `nativePattern` has no code page 932 form or is empty.
  bool add(std::string_view nativePattern);
  bool empty() const { return rules_.empty(); }
  // True when the file or folder recorded as `name` (code page 932, '\' between levels,
  // letter case as found) is to be left out.
  bool excludes(std::string_view name) const;

 private:
  std::vector<NameSelector> rules_;
};

}  // namespace kupack
