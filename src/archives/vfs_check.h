// Every invariant of a VFS archive and its ".ht" index, checked on a read-only opening: what
// "vfstool check" reports and what the tests ask of each archive they change.
#pragma once

#include <string>
#include <vector>

namespace setup {

// Header and tables in the file, links well-formed, chains sound, disjoint and of the right
// length with zero tails, no block in use outside a chain, the used block count, records and
// compressed content, the digest, and the ".ht" records matching the files in order.
struct TVfsCheckResult {
  std::vector<std::string> Problems;
  std::vector<std::string> Notes;
  bool Sound() const { return Problems.empty(); }
};
TVfsCheckResult CheckVfsArchive(const std::string& path);

}  // namespace setup
