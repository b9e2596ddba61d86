#include "installer/aid/tree_removal.h"

namespace tamsu {
namespace setup {
namespace {

using Pin = TreeOps::Pin;
using Removal = TreeOps::Removal;

enum class Outcome { kRemoved, kGone, kScheduled, kLeft };

// What a folder's walk has met so far, kept for its own removal at the end.
struct Frame {
  size_t pathLength = 0;
  std::vector<TreeEntry> entries;
  size_t next = 0;
  bool scheduledInside = false;
  bool leftInside = false;
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A name the platform could not have listed: joined to a path it would leave the folder or the
// tree ("..", a separator) or name the folder itself.
bool SaneName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c == L'\0' || IsSeparator(c)) return false;
  }
  return true;
}

// A name that is not a folder being walked: a file, a link of any kind, or a folder emptied.
// In use, only a plain file or folder is left to the restart, and only when it was not listed as
// a link either: by the restart a link may lead elsewhere.
Outcome RemoveLeaf(TreeOps& ops, const std::wstring& path, bool folder, bool listedAsLink, TreeRemoval& result) {
  switch (ops.RemoveName(path, folder)) {
    case Removal::kRemoved:
      ++result.removed;
      return Outcome::kRemoved;
    case Removal::kLinkRemoved:
      ++result.removed;
      ++result.linksRemoved;
      return Outcome::kRemoved;
    case Removal::kGone:
      return Outcome::kGone;
    case Removal::kInUse:
      if (!listedAsLink && ops.ScheduleRemoval(path)) {
        ++result.scheduled;
        return Outcome::kScheduled;
      }
      break;
    case Removal::kLinkInUse:
    case Removal::kFailed:
      break;
  }
  ++result.left;
  return Outcome::kLeft;
}

// A walked folder, its pin released: it goes now, after what was scheduled inside it, or stays.
Outcome FinishFolder(TreeOps& ops, const std::wstring& path, const Frame& frame, TreeRemoval& result) {
  if (frame.leftInside) {
    ++result.left;
    return Outcome::kLeft;
  }
  if (frame.scheduledInside) {
    // The restart removes in order, so the folder is empty by the time its own turn comes.
    if (ops.ScheduleRemoval(path)) {
      ++result.scheduled;
      return Outcome::kScheduled;
    }
    ++result.left;
    return Outcome::kLeft;
  }
  return RemoveLeaf(ops, path, true, false, result);
}

void Note(Frame& parent, Outcome outcome) {
  if (outcome == Outcome::kScheduled) parent.scheduledInside = true;
  if (outcome == Outcome::kLeft) parent.leftInside = true;
}

// True when `path` is now a pinned folder to walk; otherwise it has been dealt with as a name.
bool Enter(TreeOps& ops, const std::wstring& path, const TreeEntry& listed, TreeRemoval& result, Outcome* outcome) {
  if (listed.link || !listed.folder) {
    *outcome = RemoveLeaf(ops, path, listed.folder, listed.link, result);
    return false;
  }
  switch (ops.PinFolder(path)) {
    case Pin::kFolder:
      return true;
    case Pin::kLink:  // swapped for a link since it was listed
      *outcome = RemoveLeaf(ops, path, true, true, result);
      return false;
    case Pin::kFile:
      *outcome = RemoveLeaf(ops, path, false, false, result);
      return false;
    case Pin::kGone:
      *outcome = Outcome::kGone;
      return false;
    case Pin::kFailed:
      break;
  }
  ++result.left;
  *outcome = Outcome::kLeft;
  return false;
}

}  // namespace

TreeRemoval RemoveTreeNoFollow(TreeOps& ops, const std::wstring& root) {
  TreeRemoval result;
  std::wstring path = root;
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  if (path.empty() || path.back() == L':' || path.size() > kMaxTreePath) {
    result.left = 1;
    return result;
  }

  // An explicit stack of folders: the depth of the tree is the attacker's to choose. One path
  // string serves every level, so memory grows with the depth, not with its square.
  std::vector<Frame> stack;
  TreeEntry pending;
  pending.folder = true;
  bool named = true;  // `path` names `pending`, not yet dealt with
  for (;;) {
    if (named) {
      named = false;
      Outcome outcome = Outcome::kGone;
      if (Enter(ops, path, pending, result, &outcome)) {
        Frame frame;
        frame.pathLength = path.size();
        if (!ops.List(path, &frame.entries)) {
          frame.entries.clear();
          frame.leftInside = true;
        }
        stack.push_back(std::move(frame));
      } else {
        if (stack.empty()) return result;
        Note(stack.back(), outcome);
      }
    }

    Frame& top = stack.back();
    path.resize(top.pathLength);
    if (top.next == top.entries.size()) {
      ops.UnpinFolder();
      const Frame done = std::move(top);
      stack.pop_back();
      const Outcome outcome = FinishFolder(ops, path, done, result);
      if (stack.empty()) return result;
      Note(stack.back(), outcome);
      continue;
    }
    TreeEntry& entry = top.entries[top.next++];
    if (!SaneName(entry.name) || top.pathLength + 1 + entry.name.size() > kMaxTreePath) {
      ++result.left;
      top.leftInside = true;
      continue;
    }
    path += L'\\';
    path += entry.name;
    pending = std::move(entry);
    named = true;
  }
}

}  // namespace setup
}  // namespace tamsu
