// The order in which a walk of a folder tree meets the files whose archive names are given:
// folder by folder, each folder's entries in the order the platform lists them (names by
// their Unicode form upper-cased, then as they are; names without one last, by bytes), a
// subfolder's files where the subfolder comes in its parent's listing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kupack {

// One archive name (code page 932, '\' between levels) made ready for comparing.
class WalkKey {
 public:
  explicit WalkKey(std::string_view name);
  // True when a walk meets `*this` before `other`.
  bool operator<(const WalkKey& other) const;

 private:
  struct Level {
    bool hasUnicode = false;
    std::u16string folded;
    std::u16string units;
    std::string bytes;
  };
  static bool levelBefore(const Level& a, const Level& b);
  std::vector<Level> levels_;
};

}  // namespace kupack
