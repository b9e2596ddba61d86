// Removing a folder tree that less trusted programs may write into, without ever following a link
// (a junction, a directory or a file symbolic link): a link is removed as a name, its target is
// never touched and never entered. The walker decides; TreeOps does one platform step per call.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tamsu {
namespace setup {

// The longest path the walker builds, in characters: what the system takes in a "\\?\" path,
// less room for that prefix. Entries deeper than this are counted as left, never named.
constexpr size_t kMaxTreePath = 32000;

struct TreeEntry {
  std::wstring name;
  bool folder = false;
  bool link = false;  // a reparse point, whatever its kind
};

// The platform. Every path the walker passes is either the root or names an entry of the most
// recently pinned folder (its path, a backslash, the entry's name); the platform resolves that last
// step from the pinned folder itself, so no ancestor changed meanwhile can redirect it.
class TreeOps {
 public:
  virtual ~TreeOps() = default;

  enum class Pin { kFolder, kLink, kFile, kGone, kFailed };
  // Opens `path` without following a link. kFolder leaves it pinned (it cannot be renamed or
  // removed) until the matching UnpinFolder; no other outcome pins anything.
  virtual Pin PinFolder(const std::wstring& path) = 0;
  virtual void UnpinFolder() = 0;  // the most recently pinned one
  // The entries of the most recently pinned folder (`folder` is its path), "." and ".." left out.
  virtual bool List(const std::wstring& folder, std::vector<TreeEntry>* entries) = 0;

  // What RemoveName found the name to be, as it is at that moment, not as it was listed.
  enum class Removal { kRemoved, kLinkRemoved, kGone, kInUse, kLinkInUse, kFailed };
  // Removes the name itself, never what it leads to. `folder` is what the walker expects it to be.
  virtual Removal RemoveName(const std::wstring& path, bool folder) = 0;
  // Removes the name at the next restart.
  virtual bool ScheduleRemoval(const std::wstring& path) = 0;
};

// `removed` counts every name removed now, links included; `linksRemoved` the links among them;
// `scheduled` the names left to the next restart; `left` those that stay (a folder left because
// something inside it stays counts once more itself).
struct TreeRemoval {
  unsigned removed = 0;
  unsigned linksRemoved = 0;
  unsigned scheduled = 0;
  unsigned left = 0;
};

// Removes `root` and everything beneath it. A root that is a link loses only the link; a root
// that does not exist is success with nothing done. An empty root, a drive's root or a root
// longer than kMaxTreePath is refused (left 1) without a call to `ops`.
TreeRemoval RemoveTreeNoFollow(TreeOps& ops, const std::wstring& root);

}  // namespace setup
}  // namespace tamsu
