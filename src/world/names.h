// Names that look alike: the skeleton of a name under Unicode's confusable rule (UTS
// #39, through ICU's spoof checker), and an index of the names of a set of characters by
// their skeletons. Pure functions and a plain record; any thread may call them, and the
// caller guards an index as it guards the characters it describes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace world {

// The skeleton of `name`: two names with one skeleton can be taken for each other on
// the screen ("Ashpaw" with a Cyrillic А, "rn" and "m", "Ian" and "lan"). Letter case
// is kept: "ASH" and "Ash" have different skeletons. A name that is not well-formed
// UTF-8 is its own skeleton.
std::string NameSkeleton(std::string_view name);

// True when `a` and `b` are the same name but for letter case (full case folding).
bool SameButForCase(std::string_view a, std::string_view b);

// Names by skeleton, each name held as often as it was added (a save file may hold
// two characters of one name). Adding or removing a name costs one skeleton; a lookup
// costs one skeleton and the names that share it, however many names are held.
class NameIndex {
 public:
  void Add(std::string_view name);
  // Removes one entry of `name`; removes nothing when it holds none.
  void Remove(std::string_view name);
  void Clear();
  // Entries held, counting every time a name was added.
  std::size_t Size() const { return size_; }
  // True when a name held looks like `name` without being it: the same skeleton, and
  // neither `name` itself nor `name` in other letter case.
  bool HoldsLookalikeOf(std::string_view name) const;

 private:
  std::unordered_map<std::string, std::vector<std::string>> bySkeleton_;
  std::size_t size_ = 0;
};

}  // namespace world
