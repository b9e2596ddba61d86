#include "installer/aid/tree_removal.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>

namespace tamsu {
namespace setup {
namespace {

// A volume in memory. Like a path-based system it follows a link met on the way to a name and in
// List; only PinFolder and RemoveName leave the last step's link alone. A walker that entered a
// link would therefore damage the "outside" folders the tests keep.
class FakeVolume : public TreeOps {
 public:
  struct Node {
    bool folder = false;
    bool link = false;
    Node* target = nullptr;
    bool inUse = false;
    int pins = 0;
    std::map<std::wstring, Node*> children;
  };

  FakeVolume() { top_ = New(true); }

  Node* New(bool folder) {
    nodes_.emplace_back();
    nodes_.back().folder = folder;
    return &nodes_.back();
  }

  Node* Add(const std::wstring& path, bool folder) {
    const size_t cut = path.rfind(L'\\');
    Node* parent = cut == std::wstring::npos ? top_ : Find(path.substr(0, cut));
    Node* node = New(folder);
    parent->children[path.substr(cut + 1)] = node;
    return node;
  }
  Node* Link(const std::wstring& path, const std::wstring& target) {
    Node* node = Add(path, Find(target)->folder);
    node->link = true;
    node->target = Find(target);
    return node;
  }
  // Follows links; null when the name does not exist.
  Node* Find(const std::wstring& path) {
    Node* node = top_;
    for (size_t at = 0; node && at <= path.size();) {
      size_t end = path.find(L'\\', at);
      if (end == std::wstring::npos) end = path.size();
      auto child = node->children.find(path.substr(at, end - at));
      node = child == node->children.end() ? nullptr : child->second->link ? child->second->target : child->second;
      at = end + 1;
    }
    return node;
  }

  Pin PinFolder(const std::wstring& path) override {
    if (beforePin) beforePin(path);
    CheckNamesEntryOfTop(path);
    Node* node = Last(path);
    if (!node) return Pin::kGone;
    if (node->link) return Pin::kLink;
    if (!node->folder) return Pin::kFile;
    ++node->pins;
    pins_.push_back({path.size(), node});
    pinnedPath_ = path;
    return Pin::kFolder;
  }
  void UnpinFolder() override {
    if (pins_.empty()) {
      ++contractBreaks;
      return;
    }
    --pins_.back().second->pins;
    pins_.pop_back();
    pinnedPath_.resize(pins_.empty() ? 0 : pins_.back().first);
  }
  bool List(const std::wstring& folder, std::vector<TreeEntry>* entries) override {
    ++lists;
    const bool ofTop = !pins_.empty() && folder.size() == pinnedPath_.size() && (!checkPaths || folder == pinnedPath_);
    if (!ofTop) ++contractBreaks;
    Node* node = ofTop ? pins_.back().second : Walk(folder, true);
    if (!node || failList.count(folder)) return false;
    for (auto& child : node->children) entries->push_back({child.first, child.second->folder, child.second->link});
    auto extra = extraNames.find(folder);
    if (extra != extraNames.end()) {
      for (auto& name : extra->second) entries->push_back({name, false, false});
    }
    return true;
  }
  Removal RemoveName(const std::wstring& path, bool) override {
    if (beforeRemove) beforeRemove(path);
    CheckNamesEntryOfTop(path);
    Node* node = Last(path);
    if (!node) return Removal::kGone;
    if (node->pins) ++contractBreaks;
    if (node->inUse || node->pins) return node->link ? Removal::kLinkInUse : Removal::kInUse;
    if (failRemove.count(path) || (!node->link && !node->children.empty())) return Removal::kFailed;
    Walk(path, false)->children.erase(path.substr(path.rfind(L'\\') + 1));
    if (checkPaths) removedPaths.push_back(path);
    return node->link ? Removal::kLinkRemoved : Removal::kRemoved;
  }
  bool ScheduleRemoval(const std::wstring& path) override {
    CheckNamesEntryOfTop(path);
    scheduled.push_back(path);
    return !failSchedule;
  }

  std::function<void(const std::wstring&)> beforePin, beforeRemove;
  std::map<std::wstring, bool> failList, failRemove;
  std::map<std::wstring, std::vector<std::wstring>> extraNames;
  bool failSchedule = false;
  bool checkPaths = true;  // off for deep trees, where comparing whole paths makes the test quadratic
  int lists = 0;
  int contractBreaks = 0;
  std::vector<std::wstring> removedPaths, scheduled;

  bool Pinned() const { return !pins_.empty(); }

 private:
  // The path's parent from the top pin when it names an entry of it (the platform's contract),
  // otherwise from the volume; with `follow`, the last step follows a link too.
  Node* Walk(const std::wstring& path, bool follow) {
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) return follow ? Find(path) : top_;
    Node* parent = !pins_.empty() && cut == pinnedPath_.size() && (!checkPaths || path.compare(0, cut, pinnedPath_) == 0)
                       ? pins_.back().second
                       : Find(path.substr(0, cut));
    if (!parent || !follow) return parent;
    auto child = parent->children.find(path.substr(cut + 1));
    if (child == parent->children.end()) return nullptr;
    return child->second->link ? child->second->target : child->second;
  }
  Node* Last(const std::wstring& path) {
    Node* parent = Walk(path, false);
    if (!parent) return nullptr;
    auto child = parent->children.find(path.substr(path.rfind(L'\\') + 1));
    return child == parent->children.end() ? nullptr : child->second;
  }
  void CheckNamesEntryOfTop(const std::wstring& path) {
    if (pins_.empty()) return;
    const size_t cut = path.rfind(L'\\');
    if (cut != pinnedPath_.size() || (checkPaths && path.compare(0, cut, pinnedPath_) != 0)) ++contractBreaks;
  }

  std::deque<Node> nodes_;  // never freed one by one: no recursive teardown of a deep tree
  Node* top_;
  std::vector<std::pair<size_t, Node*>> pins_;
  std::wstring pinnedPath_;
};

void ExpectClean(const FakeVolume& volume) {
  EXPECT_EQ(0, volume.contractBreaks) << "a call named something outside the pinned folder";
  EXPECT_FALSE(volume.Pinned()) << "a pin was never released";
}

// The outside folder an attacker points links at, with content that must survive.
void AddOutside(FakeVolume& volume) {
  volume.Add(L"Sys", true);
  volume.Add(L"Sys\\win.ini", false);
  volume.Add(L"Sys\\inner", true);
  volume.Add(L"Sys\\inner\\x.dll", false);
}

void ExpectOutsideWhole(FakeVolume& volume) {
  EXPECT_NE(nullptr, volume.Find(L"Sys\\win.ini"));
  EXPECT_NE(nullptr, volume.Find(L"Sys\\inner\\x.dll"));
}

TEST(TreeRemoval, LinksGoTheirTargetsStay) {
  FakeVolume volume;
  AddOutside(volume);
  volume.Add(L"Data", true);
  volume.Add(L"Data\\a.txt", false);
  volume.Add(L"Data\\sub", true);
  volume.Add(L"Data\\sub\\b.txt", false);
  volume.Link(L"Data\\sub\\junction", L"Sys");
  volume.Link(L"Data\\fileLink", L"Sys\\win.ini");
  volume.Link(L"Data\\dirLink", L"Sys\\inner");
  const TreeRemoval result = RemoveTreeNoFollow(volume, L"Data");
  ExpectOutsideWhole(volume);
  EXPECT_EQ(nullptr, volume.Find(L"Data"));
  EXPECT_EQ(7u, result.removed);
  EXPECT_EQ(3u, result.linksRemoved);
  EXPECT_EQ(0u, result.scheduled + result.left);
  ExpectClean(volume);
}

TEST(TreeRemoval, FolderSwappedAfterListingIsRemovedAsWhatItBecame) {
  FakeVolume volume;
  AddOutside(volume);
  volume.Add(L"Data", true);
  volume.Add(L"Data\\sub", true);
  volume.Add(L"Data\\sub\\win.ini", false);
  volume.Add(L"Data\\other", true);
  volume.Add(L"Data\\gone", true);
  volume.Add(L"Data\\gone.txt", false);
  volume.Add(L"Moved", true);
  // Between List and PinFolder: sub moves away and a junction takes its name; other turns into a
  // file; gone and gone.txt vanish.
  volume.beforePin = [&](const std::wstring& path) {
    if (path == L"Data\\sub") {
      volume.Find(L"Moved")->children[L"sub"] = volume.Find(L"Data\\sub");
      volume.Find(L"Data")->children.erase(L"sub");
      volume.Link(L"Data\\sub", L"Sys");
    } else if (path == L"Data\\other") {
      volume.Find(L"Data")->children.erase(L"other");
      volume.Add(L"Data\\other", false);
    } else if (path == L"Data\\gone") {
      volume.Find(L"Data")->children.erase(L"gone");
      volume.Find(L"Data")->children.erase(L"gone.txt");
    }
  };
  const TreeRemoval result = RemoveTreeNoFollow(volume, L"Data");
  ExpectOutsideWhole(volume);
  EXPECT_NE(nullptr, volume.Find(L"Moved\\sub\\win.ini")) << "what was moved away is not chased";
  EXPECT_EQ(nullptr, volume.Find(L"Data"));
  EXPECT_EQ(3u, result.removed) << "the junction, the file, the root";
  EXPECT_EQ(1u, result.linksRemoved);
  EXPECT_EQ(0u, result.scheduled + result.left);
  ExpectClean(volume);
}

TEST(TreeRemoval, RootLinkMissingOrRefused) {
  FakeVolume volume;
  AddOutside(volume);
  volume.Link(L"Data", L"Sys");
  TreeRemoval result = RemoveTreeNoFollow(volume, L"Data\\");
  ExpectOutsideWhole(volume);
  EXPECT_EQ(nullptr, volume.Find(L"Data"));
  EXPECT_EQ(1u, result.removed);
  EXPECT_EQ(1u, result.linksRemoved);
  EXPECT_EQ(0, volume.lists);

  result = RemoveTreeNoFollow(volume, L"Data");
  EXPECT_EQ(0u, result.removed + result.scheduled + result.left) << "a missing root is success";

  for (const wchar_t* refused : {L"", L"\\", L"C:", L"C:\\", L"\\\\?\\C:\\"}) {
    volume.beforePin = [&](const std::wstring&) { ADD_FAILURE() << "refused root reached the platform"; };
    result = RemoveTreeNoFollow(volume, refused);
    EXPECT_EQ(1u, result.left) << "a refused root of " << std::wstring(refused).size() << " characters";
  }
  EXPECT_EQ(1u, RemoveTreeNoFollow(volume, std::wstring(kMaxTreePath + 1, L'a')).left);
  ExpectClean(volume);
}

TEST(TreeRemoval, InUseGoesAtRestartContentsFirstLinksNever) {
  FakeVolume volume;
  AddOutside(volume);
  volume.Add(L"Data", true);
  volume.Add(L"Data\\keep", true);
  volume.Add(L"Data\\keep\\busy.dll", false)->inUse = true;
  volume.Add(L"Data\\keep\\free.txt", false);
  volume.Add(L"Data\\a", true);
  volume.Add(L"Data\\a\\b", true);
  volume.Add(L"Data\\a\\b\\busy.log", false)->inUse = true;
  volume.Add(L"Data\\plain.txt", false);
  const TreeRemoval result = RemoveTreeNoFollow(volume, L"Data");
  const std::vector<std::wstring> expected = {L"Data\\a\\b\\busy.log", L"Data\\a\\b", L"Data\\a",
                                              L"Data\\keep\\busy.dll", L"Data\\keep", L"Data"};
  EXPECT_EQ(expected, volume.scheduled);
  EXPECT_EQ(6u, result.scheduled);
  EXPECT_EQ(2u, result.removed);
  EXPECT_EQ(0u, result.left);
  ExpectClean(volume);

  // A link that cannot go now may lead elsewhere by the restart: it stays, and so do its folders.
  FakeVolume linked;
  AddOutside(linked);
  linked.Add(L"Data", true);
  linked.Add(L"Data\\x", true);
  linked.Link(L"Data\\x\\junction", L"Sys")->inUse = true;
  linked.Add(L"Data\\busy.txt", false)->inUse = true;
  linked.Add(L"Data\\swapped.txt", false);
  linked.Link(L"Data\\wasLink", L"Sys\\win.ini");
  // Between listing and removal: a plain file turns into a link held open, and a link into a
  // plain file held open; neither is trusted to the restart.
  linked.beforeRemove = [&](const std::wstring& path) {
    if (path == L"Data\\swapped.txt") {
      linked.Find(L"Data")->children.erase(L"swapped.txt");
      linked.Link(L"Data\\swapped.txt", L"Sys\\win.ini")->inUse = true;
    } else if (path == L"Data\\wasLink") {
      linked.Find(L"Data")->children.erase(L"wasLink");
      linked.Add(L"Data\\wasLink", false)->inUse = true;
    }
  };
  const TreeRemoval kept = RemoveTreeNoFollow(linked, L"Data");
  EXPECT_EQ(std::vector<std::wstring>{L"Data\\busy.txt"}, linked.scheduled);
  EXPECT_EQ(5u, kept.left) << "the junction, both swapped names, their folders Data\\x and Data";
  EXPECT_EQ(0u, kept.removed);
  ExpectOutsideWhole(linked);
  ExpectClean(linked);
}

TEST(TreeRemoval, FailuresStayWithTheirAncestorsOnly) {
  FakeVolume volume;
  volume.Add(L"Data", true);
  volume.Add(L"Data\\unlistable", true);
  volume.Add(L"Data\\unlistable\\f", false);
  volume.Add(L"Data\\stuck", true);
  volume.Add(L"Data\\stuck\\f", false);
  volume.Add(L"Data\\stuck\\g", false);
  volume.Add(L"Data\\fine", true);
  volume.Add(L"Data\\fine\\f", false);
  volume.Add(L"Data\\noRestart", true);
  volume.Add(L"Data\\noRestart\\busy", false)->inUse = true;
  volume.Add(L"Data\\odd", true);
  volume.failList[L"Data\\unlistable"] = true;
  volume.failRemove[L"Data\\stuck\\f"] = true;
  volume.failSchedule = true;
  // Names no sound platform lists; joined to the path they would lead out of the tree.
  volume.extraNames[L"Data\\odd"] = {L"..", L"", L"a\\..\\..\\Sys", L".", std::wstring(1, L'\0')};
  const auto neverUnderOdd = [](const std::wstring& path) {
    EXPECT_EQ(std::wstring::npos, path.find(L"odd\\")) << "an odd name reached the platform";
  };
  volume.beforePin = neverUnderOdd;
  volume.beforeRemove = neverUnderOdd;
  const TreeRemoval result = RemoveTreeNoFollow(volume, L"Data");
  EXPECT_EQ(nullptr, volume.Find(L"Data\\fine"));
  EXPECT_EQ(nullptr, volume.Find(L"Data\\stuck\\g"));
  EXPECT_NE(nullptr, volume.Find(L"Data\\stuck\\f"));
  EXPECT_NE(nullptr, volume.Find(L"Data\\unlistable\\f"));
  EXPECT_EQ(3u, result.removed) << "fine, fine\\f, stuck\\g";
  EXPECT_EQ(0u, result.scheduled) << "the restart refused busy";
  // stuck\f and stuck, busy and noRestart, five odd names and odd, unlistable, Data.
  EXPECT_EQ(12u, result.left);
  ExpectClean(volume);
}

TEST(TreeRemoval, DeepTreeWithoutRecursion) {
  FakeVolume volume;
  volume.checkPaths = false;
  const size_t depth = 15000;  // 30001 characters of path
  std::wstring path = L"Data";
  volume.Add(path, true);
  FakeVolume::Node* node = volume.Find(path);
  for (size_t level = 0; level < depth; ++level) {
    FakeVolume::Node* child = volume.New(true);
    node->children[L"d"] = child;
    node = child;
  }
  node->children[L"bottom"] = volume.New(false);
  const TreeRemoval result = RemoveTreeNoFollow(volume, L"Data");
  EXPECT_EQ(nullptr, volume.Find(L"Data"));
  EXPECT_EQ(depth + 2, result.removed);
  EXPECT_EQ(0u, result.left);

  ExpectClean(volume);

  // Deeper than any path may be: the walk stops at the bound and reports what stays.
  FakeVolume deeper;
  deeper.Add(L"Data", true);
  node = deeper.Find(L"Data");
  for (int level = 0; level < 40; ++level) {
    FakeVolume::Node* child = deeper.New(true);
    node->children[std::wstring(999, L'n')] = child;
    node = child;
  }
  const TreeRemoval bounded = RemoveTreeNoFollow(deeper, L"Data");
  EXPECT_NE(nullptr, deeper.Find(L"Data"));
  EXPECT_EQ(33u, bounded.left) << "the entry beyond the bound, its 31 folders and Data";
  EXPECT_EQ(0u, bounded.removed);
  ExpectClean(deeper);
}

}  // namespace
}  // namespace setup
}  // namespace tamsu
