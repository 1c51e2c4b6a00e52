// B+-tree algorithms over index pages. Equal keys may straddle leaves after
// splits and node entries carry no identity, so every search descends to the
// leftmost child that could hold its key and walks right along the leaves.
#include "tables/ORBBTree.h"

#include <algorithm>
#include <unordered_set>

#include "orb/ORBExcept.h"

namespace orb {

namespace {

[[noreturn]] void Violation(const char* what, int32_t pageNo, int32_t entryNo) {
  throw EORBException::Fmt(20028, "Index integrity violated.%s PageNo=%d EntryNo=%d", what, pageNo, entryNo);
}

}  // namespace

int TORBKeyPath::Compare(const TORBKeyPath& a, const TORBKeyPath& b) {
  if (a.Empty() || b.Empty()) throw EORBException("Nil pointer occured", 10384);
  const size_t n = std::min(a.Levels.size(), b.Levels.size());
  for (size_t i = 0; i < n; ++i) {
    if (a.Levels[i].PageNo != b.Levels[i].PageNo) throw EORBException("Invalid index key path", 20051);
    if (a.Levels[i].EntryNo != b.Levels[i].EntryNo) return a.Levels[i].EntryNo < b.Levels[i].EntryNo ? -1 : 1;
  }
  if (a.Levels.size() != b.Levels.size()) throw EORBException("Invalid index key path", 20052);
  return 0;
}

TORBBTree::TORBBTree(TORBPageManager& pm, uint16_t keySize, uint16_t leafPayload)
    : pm_(pm), keySize_(keySize), leafPayload_(leafPayload) {
  // A split needs at least three entries per page; bigger keys are refused
  // when the index is defined.
  const uint32_t entry = keySize + std::max<uint32_t>(leafPayload, kNodePayloadSize);
  if (keySize == 0 || pm.PageDataSize <= BTreeHeader::kSize || (pm.PageDataSize - BTreeHeader::kSize) / entry < 3)
    throw EORBException("Index error: invalid params", 20078);
}

TORBBTreePage TORBBTree::Page(int32_t session, int32_t pageNo) const {
  return TORBBTreePage(pm_, session, pageNo, keySize_, leafPayload_);
}

void TORBBTree::CheckRoot(int32_t code) const {
  if (RootPageNo < 0) throw EORBException("Invalid page number", code);
}

int TORBBTree::MaxEntriesPerLeaf() const {
  return static_cast<int>((pm_.PageDataSize - BTreeHeader::kSize) / LeafEntrySize());
}

void TORBBTree::CreateRoot(int32_t session) {
  TORBBTreePage root = TORBBTreePage::Create(pm_, session, keySize_, leafPayload_, true);
  root.SetRoot(true);
  root.Reset(true);
  RootPageNo = root.PageNo();
  Touch();
}

void TORBBTree::FreeSubtree(int32_t session, int32_t pageNo, bool keepThis, int depth) {
  if (depth > TORBKeyPath::kMaxLevels) Violation(" Circular links.", pageNo, 0);
  std::vector<int32_t> children;
  {
    TORBBTreePage p = Page(session, pageNo);
    if (!p.IsLeaf())
      for (int i = 0; i < p.Count(); ++i) children.push_back(p.Child(i));
  }
  for (int32_t c : children) FreeSubtree(session, c, false, depth + 1);
  if (!keepThis) pm_.RemovePage(session, pageNo);
}

void TORBBTree::Drop(int32_t session) {
  CheckRoot(20119);
  FreeSubtree(session, RootPageNo, false, 0);
  RootPageNo = -1;
  Touch();
}

void TORBBTree::Empty(int32_t session) {
  CheckRoot(20120);
  FreeSubtree(session, RootPageNo, true, 0);
  Page(session, RootPageNo).Reset(true);
  Touch();
}

TORBKeyPath TORBBTree::Descend(int32_t session, TORBBTreeSearch& s) {
  CheckRoot(20121);
  TORBKeyPath path;
  path.Stamp = stamp_;
  int32_t pageNo = RootPageNo;
  for (int depth = 0; depth < TORBKeyPath::kMaxLevels; ++depth) {
    TORBBTreePage p = Page(session, pageNo);
    if (p.IsLeaf()) {
      path.Levels.push_back({pageNo, 0, p.Count()});
      return path;
    }
    const int n = p.Count();
    if (n == 0) throw EORBException("Index error: page is empty", 20025);
    int lo = 1, hi = n - 1, best = 0;
    while (lo <= hi) {
      const int mid = (lo + hi) / 2;
      if (Above(session, s, p, mid, depth)) {
        best = mid;
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    path.Levels.push_back({pageNo, best, n});
    pageNo = p.Child(best);
  }
  Violation(" Circular links.", pageNo, 0);
}

bool TORBBTree::Above(int32_t session, TORBBTreeSearch& s, const TORBBTreePage& node, int i, int depth) {
  const int c = s.Compare(node.Key(i), nullptr);
  if (c != TORBBTreeSearch::kUndecided && !(c == 0 && s.HasIdentity())) return c == 1;
  // The separator cannot tell: it is a prefix that ties, or an equal key and
  // the search orders equal keys by RecordID (which separators lack). Leaves
  // are in order, so the first entry under the child bounds everything to its
  // left: compare with it. This keeps long runs of equal keys O(log n).
  int32_t pageNo = node.Child(i);
  for (int d = depth + 1; d < TORBKeyPath::kMaxLevels; ++d) {
    TORBBTreePage p = Page(session, pageNo);
    if (p.Count() == 0) throw EORBException("Index error: page is empty", 20025);
    if (!p.IsLeaf()) {
      pageNo = p.Child(0);
      continue;
    }
    int r = s.Compare(p.Key(0), p.Payload(0));
    if (r == TORBBTreeSearch::kUndecided) r = 0;
    if (r == 0 && s.HasIdentity()) r = s.CompareIdentity(p.Payload(0));
    return r > 0;
  }
  Violation(" Circular links.", pageNo, 0);
}

TORBKeyPath TORBBTree::DescendEdge(int32_t session, bool last) {
  CheckRoot(20122);
  TORBKeyPath path;
  path.Stamp = stamp_;
  int32_t pageNo = RootPageNo;
  for (int depth = 0; depth < TORBKeyPath::kMaxLevels; ++depth) {
    TORBBTreePage p = Page(session, pageNo);
    const int n = p.Count();
    if (p.IsLeaf()) {
      path.Levels.push_back({pageNo, last ? std::max(n - 1, 0) : 0, n});
      return path;
    }
    if (n == 0) throw EORBException("Index error: page is empty", 20025);
    const int e = last ? n - 1 : 0;
    path.Levels.push_back({pageNo, e, n});
    pageNo = p.Child(e);
  }
  Violation(" Circular links.", pageNo, 0);
}

int TORBBTree::LeafLowerBound(const TORBBTreePage& leaf, TORBBTreeSearch& s) {
  int lo = 0, hi = leaf.Count();
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    int c = s.Compare(leaf.Key(mid), leaf.Payload(mid));
    if (c == TORBBTreeSearch::kUndecided) c = 0;
    if (c == 0 && s.HasIdentity()) c = s.CompareIdentity(leaf.Payload(mid));
    if (c > 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

bool TORBBTree::NextLeaf(int32_t session, TORBKeyPath& path, std::vector<uint8_t>* separator) {
  const size_t leafLevel = path.Levels.size() - 1;
  for (size_t l = leafLevel; l-- > 0;) {
    TORBKeyLevel& lv = path.Levels[l];
    if (lv.EntryNo >= lv.EntryCount - 1) continue;
    ++lv.EntryNo;
    int32_t child;
    {
      TORBBTreePage p = Page(session, lv.PageNo);
      if (p.IsLeaf() || lv.EntryNo >= p.Count()) Violation("", lv.PageNo, lv.EntryNo);
      if (separator) separator->assign(p.Key(lv.EntryNo), p.Key(lv.EntryNo) + keySize_);
      child = p.Child(lv.EntryNo);
    }
    for (size_t m = l + 1; m <= leafLevel; ++m) {
      TORBBTreePage p = Page(session, child);
      if (p.IsLeaf() != (m == leafLevel)) Violation(" Invlaid leaf link.", child, 0);
      path.Levels[m] = {child, 0, p.Count()};
      if (m < leafLevel) {
        if (p.Count() == 0) throw EORBException("Index error: page is empty", 20025);
        child = p.Child(0);
      }
    }
    return true;
  }
  return false;
}

bool TORBBTree::PriorLeaf(int32_t session, TORBKeyPath& path) {
  const size_t leafLevel = path.Levels.size() - 1;
  for (size_t l = leafLevel; l-- > 0;) {
    TORBKeyLevel& lv = path.Levels[l];
    if (lv.EntryNo <= 0) continue;
    --lv.EntryNo;
    int32_t child;
    {
      TORBBTreePage p = Page(session, lv.PageNo);
      if (p.IsLeaf() || lv.EntryNo >= p.Count()) Violation("", lv.PageNo, lv.EntryNo);
      child = p.Child(lv.EntryNo);
    }
    for (size_t m = l + 1; m <= leafLevel; ++m) {
      TORBBTreePage p = Page(session, child);
      if (p.IsLeaf() != (m == leafLevel)) Violation(" Invlaid leaf link.", child, 0);
      const int n = p.Count();
      path.Levels[m] = {child, std::max(n - 1, 0), n};
      if (m < leafLevel) {
        if (n == 0) throw EORBException("Index error: page is empty", 20025);
        child = p.Child(n - 1);
      }
    }
    return true;
  }
  return false;
}

TORBKeyPath TORBBTree::LowerBound(int32_t session, TORBBTreeSearch& s) {
  TORBKeyPath path = Descend(session, s);
  for (;;) {
    {
      TORBBTreePage leaf = Page(session, path.Leaf().PageNo);
      path.Leaf().EntryCount = leaf.Count();
      path.Leaf().EntryNo = LeafLowerBound(leaf, s);
      if (path.Leaf().EntryNo < leaf.Count()) return path;
    }
    TORBKeyPath next = path;
    if (!NextLeaf(session, next, nullptr)) return path;
    path = std::move(next);
  }
}

TORBKeyPath TORBBTree::UpperBound(int32_t session, TORBBTreeSearch& s) {
  // Equal entries count as below the search; in nodes only "definitely
  // above" steers, as for every descent.
  struct Above : TORBBTreeSearch {
    TORBBTreeSearch& in;
    explicit Above(TORBBTreeSearch& s) : in(s) {}
    int Compare(const uint8_t* k, const uint8_t* p) override {
      const int c = in.Compare(k, p);
      if (p == nullptr) return c;
      if (c == kUndecided || c == 0) return in.HasIdentity() ? (in.CompareIdentity(p) >= 0 ? 1 : -1) : 1;
      return c;
    }
  } above(s);
  return LowerBound(session, above);
}

TORBKeyPath TORBBTree::LastNotGreater(int32_t session, TORBBTreeSearch& s) {
  TORBKeyPath path = UpperBound(session, s);
  if (AtEntry(path)) return Prior(session, path) ? path : TORBKeyPath{};
  TORBKeyPath last = Last(session);
  return AtEntry(last) ? last : TORBKeyPath{};
}

TORBKeyPath TORBBTree::First(int32_t session) { return DescendEdge(session, false); }
TORBKeyPath TORBBTree::Last(int32_t session) { return DescendEdge(session, true); }

bool TORBBTree::Next(int32_t session, TORBKeyPath& path) {
  if (path.Empty()) throw EORBException("Index error: invalid position", 20068);
  TORBKeyLevel& leaf = path.Leaf();
  if (leaf.EntryNo + 1 < leaf.EntryCount) {
    ++leaf.EntryNo;
    return true;
  }
  TORBKeyPath p = path;
  while (NextLeaf(session, p, nullptr))
    if (p.Leaf().EntryCount > 0) {
      path = std::move(p);
      return true;
    }
  return false;
}

bool TORBBTree::Prior(int32_t session, TORBKeyPath& path) {
  if (path.Empty()) throw EORBException("Index error: invalid position", 20069);
  TORBKeyLevel& leaf = path.Leaf();
  if (leaf.EntryNo > 0 && leaf.EntryNo <= leaf.EntryCount) {
    --leaf.EntryNo;
    return true;
  }
  TORBKeyPath p = path;
  while (PriorLeaf(session, p))
    if (p.Leaf().EntryCount > 0) {
      path = std::move(p);
      return true;
    }
  return false;
}

void TORBBTree::ReadEntry(int32_t session, const TORBKeyPath& path, std::vector<uint8_t>& entry) {
  if (!AtEntry(path)) throw EORBException("Index error: invalid position", 20068);
  TORBBTreePage leaf = Page(session, path.Leaf().PageNo);
  if (!leaf.IsLeaf() || path.Leaf().EntryNo >= leaf.Count()) Violation("", leaf.PageNo(), path.Leaf().EntryNo);
  entry.assign(leaf.Entry(path.Leaf().EntryNo), leaf.Entry(path.Leaf().EntryNo) + LeafEntrySize());
}

void TORBBTree::WritePayload(int32_t session, const TORBKeyPath& path, const uint8_t* payload) {
  if (!AtEntry(path)) throw EORBException("Index error: invalid position", 20068);
  TORBBTreePage leaf = Page(session, path.Leaf().PageNo);
  if (!leaf.IsLeaf() || path.Leaf().EntryNo >= leaf.Count()) Violation("", leaf.PageNo(), path.Leaf().EntryNo);
  std::memcpy(leaf.Entry(path.Leaf().EntryNo) + keySize_, payload, leafPayload_);
  Touch();
}

void TORBBTree::Insert(int32_t session, TORBBTreeSearch& s, const uint8_t* key, const uint8_t* payload) {
  TORBKeyPath path = Descend(session, s);
  int pos = 0;
  for (;;) {
    int count;
    {
      TORBBTreePage leaf = Page(session, path.Leaf().PageNo);
      count = leaf.Count();
      pos = LeafLowerBound(leaf, s);
    }
    path.Leaf().EntryCount = count;
    if (pos < count) break;
    TORBKeyPath next = path;
    std::vector<uint8_t> separator;
    if (!NextLeaf(session, next, &separator)) break;
    int nextPos;
    {
      TORBBTreePage leaf = Page(session, next.Leaf().PageNo);
      nextPos = LeafLowerBound(leaf, s);
    }
    if (nextPos > 0) {
      path = std::move(next);
      continue;
    }
    // Between two leaves: the separator that divides them decides, so that
    // a descent for this key still finds it.
    if (s.Compare(separator.data(), nullptr) == 1) {
      path = std::move(next);
      pos = 0;
    }
    break;
  }
  std::vector<uint8_t> entry(LeafEntrySize());
  std::memcpy(entry.data(), key, keySize_);
  std::memcpy(entry.data() + keySize_, payload, leafPayload_);
  InsertIntoPage(session, path, path.Levels.size() - 1, pos, entry.data());
  Touch();
}

void TORBBTree::InsertIntoPage(int32_t session, TORBKeyPath& path, size_t level, int pos, const uint8_t* entry) {
  TORBBTreePage page = Page(session, path.Levels[level].PageNo);
  const int count = page.Count();
  if (pos < 0 || pos > count) Violation("", page.PageNo(), pos);
  if (count < page.Capacity()) {
    page.InsertEntries(pos, entry, 1);
    return;
  }
  const uint32_t es = page.EntrySize();
  const int n = count + 1;
  std::vector<uint8_t> all(static_cast<size_t>(n) * es);
  std::memcpy(all.data(), page.Entry(0), static_cast<size_t>(pos) * es);
  std::memcpy(all.data() + static_cast<size_t>(pos) * es, entry, es);
  std::memcpy(all.data() + static_cast<size_t>(pos + 1) * es, page.Entry(pos), static_cast<size_t>(count - pos) * es);
  if (page.IsRoot()) {
    SplitRoot(session, page, all, n);
    return;
  }
  if (level == 0) Violation("", page.PageNo(), 0);
  const int half = n / 2;
  TORBBTreePage fresh = TORBBTreePage::Create(pm_, session, keySize_, leafPayload_, page.IsLeaf());
  fresh.InsertEntries(0, all.data() + static_cast<size_t>(half) * es, n - half);
  page.SetCount(0);
  page.InsertEntries(0, all.data(), half);
  const int32_t oldNext = page.Next();
  fresh.SetNext(oldNext);
  fresh.SetPrev(page.PageNo());
  page.SetNext(fresh.PageNo());
  if (oldNext != -1) Page(session, oldNext).SetPrev(fresh.PageNo());
  std::vector<uint8_t> up(keySize_ + kNodePayloadSize);
  std::memcpy(up.data(), all.data() + static_cast<size_t>(half) * es, keySize_);
  PutLE<int32_t>(up.data() + keySize_, fresh.PageNo());
  page.Release();
  fresh.Release();
  InsertIntoPage(session, path, level - 1, path.Levels[level - 1].EntryNo + 1, up.data());
}

void TORBBTree::SplitRoot(int32_t session, TORBBTreePage& root, std::vector<uint8_t>& all, int n) {
  const bool leaf = root.IsLeaf();
  const uint32_t es = root.EntrySize();
  const int half = n / 2;
  TORBBTreePage a = TORBBTreePage::Create(pm_, session, keySize_, leafPayload_, leaf);
  TORBBTreePage b = TORBBTreePage::Create(pm_, session, keySize_, leafPayload_, leaf);
  a.InsertEntries(0, all.data(), half);
  b.InsertEntries(0, all.data() + static_cast<size_t>(half) * es, n - half);
  a.SetNext(b.PageNo());
  b.SetPrev(a.PageNo());
  root.Reset(false);
  std::vector<uint8_t> e(keySize_ + kNodePayloadSize, 0);
  PutLE<int32_t>(e.data() + keySize_, a.PageNo());
  root.InsertEntries(0, e.data(), 1);
  std::memcpy(e.data(), all.data() + static_cast<size_t>(half) * es, keySize_);
  PutLE<int32_t>(e.data() + keySize_, b.PageNo());
  root.InsertEntries(1, e.data(), 1);
}

void TORBBTree::RemoveAt(int32_t session, const TORBKeyPath& path) {
  if (!AtEntry(path)) throw EORBException("Index error: invalid position", 20068);
  RemoveFromPage(session, path, path.Levels.size() - 1, path.Leaf().EntryNo);
  Touch();
}

void TORBBTree::RemoveFromPage(int32_t session, const TORBKeyPath& path, size_t level, int pos) {
  {
    TORBBTreePage page = Page(session, path.Levels[level].PageNo);
    if (pos < 0 || pos >= page.Count()) Violation("", page.PageNo(), pos);
    page.RemoveEntries(pos, 1);
  }
  Rebalance(session, path, level);
}

void TORBBTree::Unlink(int32_t session, TORBBTreePage& page) {
  const int32_t prev = page.Prev(), next = page.Next();
  if (prev != -1) Page(session, prev).SetNext(next);
  if (next != -1) Page(session, next).SetPrev(prev);
}

void TORBBTree::Rebalance(int32_t session, const TORBKeyPath& path, size_t level) {
  TORBBTreePage page = Page(session, path.Levels[level].PageNo);
  if (page.IsRoot() || level == 0) {
    if (!page.IsLeaf() && page.Count() == 0) page.Reset(true);
    page.Release();
    CollapseRoot(session);
    return;
  }
  const int count = page.Count();
  const int32_t pageNo = page.PageNo();
  const int pe = path.Levels[level - 1].EntryNo;
  TORBBTreePage parent = Page(session, path.Levels[level - 1].PageNo);
  if (pe >= parent.Count() || parent.Child(pe) != pageNo) Violation("", parent.PageNo(), pe);
  if (count == 0) {
    // An empty page leaves the tree, and its parent entry with it.
    Unlink(session, page);
    page.Release();
    parent.Release();
    pm_.RemovePage(session, pageNo);
    RemoveFromPage(session, path, level - 1, pe);
    return;
  }
  if (!page.Underfull()) return;
  const uint32_t es = page.EntrySize();
  const bool node = !page.IsLeaf();
  auto fits = [&](const TORBBTreePage& other) {
    return static_cast<uint32_t>(other.Count() + count) * es + BTreeHeader::kSize < page.DataSize();
  };
  // Only siblings under the same parent: level links cross parents.
  if (pe > 0) {
    TORBBTreePage left = Page(session, parent.Child(pe - 1));
    if (left.IsLeaf() == page.IsLeaf() && fits(left)) {
      const int at = left.Count();
      left.InsertEntries(at, page.Entry(0), count);
      if (node) left.SetKey(at, parent.Key(pe));
      Unlink(session, page);
      left.Release();
      page.Release();
      parent.Release();
      pm_.RemovePage(session, pageNo);
      RemoveFromPage(session, path, level - 1, pe);
      return;
    }
  }
  if (pe + 1 < parent.Count()) {
    TORBBTreePage right = Page(session, parent.Child(pe + 1));
    if (right.IsLeaf() == page.IsLeaf() && fits(right)) {
      if (node) right.SetKey(0, parent.Key(pe + 1));
      right.InsertEntries(0, page.Entry(0), count);
      parent.SetChild(pe, right.PageNo());
      Unlink(session, page);
      right.Release();
      page.Release();
      parent.Release();
      pm_.RemovePage(session, pageNo);
      RemoveFromPage(session, path, level - 1, pe + 1);
      return;
    }
  }
}

void TORBBTree::CollapseRoot(int32_t session) {
  for (int guard = 0; guard < TORBKeyPath::kMaxLevels; ++guard) {
    TORBBTreePage root = Page(session, RootPageNo);
    if (root.IsLeaf() || root.Count() != 1) return;
    const int32_t childNo = root.Child(0);
    {
      TORBBTreePage child = Page(session, childNo);
      root.Reset(child.IsLeaf());
      root.InsertEntries(0, child.Entry(0), child.Count());
    }
    pm_.RemovePage(session, childNo);
  }
}


const TORBBTree::LeafTable& TORBBTree::Leaves(int32_t session) {
  if (leaves_.Stamp == stamp_ && leaves_.Session == session) return leaves_;
  LeafTable t;
  int32_t no = First(session).Leaf().PageNo;
  int32_t prev = -1;
  while (no != -1) {
    if (t.Ordinal.count(no)) Violation(" Circular links.", no, 0);
    TORBBTreePage p = Page(session, no);
    if (!p.IsLeaf() || p.Prev() != prev) Violation(" Invlaid leaf link.", no, 0);
    t.Ordinal.emplace(no, t.Pages.size());
    t.Pages.push_back(no);
    t.Before.push_back(t.Total);
    t.Total += p.Count();
    prev = no;
    no = p.Next();
  }
  t.Stamp = stamp_;
  t.Session = session;
  leaves_ = std::move(t);
  return leaves_;
}

int64_t TORBBTree::EntriesBefore(int32_t session, const TORBKeyPath& path) {
  const LeafTable& t = Leaves(session);
  auto it = t.Ordinal.find(path.Leaf().PageNo);
  if (it == t.Ordinal.end()) throw EORBException("Index error: invalid position", 20068);
  return t.Before[it->second] + path.Leaf().EntryNo;
}

TORBKeyPath TORBBTree::PathOfOrdinal(int32_t session, int64_t n) {
  const LeafTable& t = Leaves(session);
  if (t.Total == 0) throw EORBException("Cannot retreive record from empty index", 20074);
  if (n < 0 || n >= t.Total) throw EORBException("Cannot set RecNo greater than RecordCount", 20075);
  const size_t i = static_cast<size_t>(std::upper_bound(t.Before.begin(), t.Before.end(), n) - t.Before.begin()) - 1;
  // A leaf-only path: enough to read the entry.
  TORBKeyPath p;
  p.Stamp = stamp_;
  const int64_t next = i + 1 < t.Before.size() ? t.Before[i + 1] : t.Total;
  p.Levels.push_back({t.Pages[i], static_cast<int32_t>(n - t.Before[i]), static_cast<int32_t>(next - t.Before[i])});
  return p;
}

int64_t TORBBTree::EntryCount(int32_t session) { return Leaves(session).Total; }

int TORBBTree::Depth(int32_t session) { return static_cast<int>(First(session).Levels.size()); }

void TORBBTree::ForEachEntry(int32_t session,
                             const std::function<bool(const uint8_t* key, const uint8_t* payload)>& fn) {
  int32_t no = First(session).Leaf().PageNo;
  std::unordered_set<int32_t> seen;
  while (no != -1) {
    if (!seen.insert(no).second) Violation(" Circular links.", no, 0);
    TORBBTreePage p = Page(session, no);
    if (!p.IsLeaf()) Violation(" Invlaid leaf link.", no, 0);
    for (int i = 0; i < p.Count(); ++i)
      if (!fn(p.Key(i), p.Payload(i))) return;
    no = p.Next();
  }
}

void TORBBTree::CheckStructure(int32_t session, const std::function<bool(const uint8_t*, const uint8_t*)>& inOrder) {
  CheckRoot(20123);
  std::unordered_set<int32_t> seen;
  std::vector<std::vector<int32_t>> levels;  // pages of each level, in tree order
  struct Item {
    int32_t PageNo;
    size_t Depth;
  };
  // Depth-first, children in order, so each level's list comes out ordered.
  std::vector<Item> stack{{RootPageNo, 0}};
  int leafDepth = -1;
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    if (it.Depth >= TORBKeyPath::kMaxLevels || !seen.insert(it.PageNo).second)
      Violation(" Circular links.", it.PageNo, 0);
    TORBBTreePage p = Page(session, it.PageNo);
    if (p.IsRoot() != (it.Depth == 0)) Violation("", it.PageNo, 0);
    if (levels.size() <= it.Depth) levels.resize(it.Depth + 1);
    levels[it.Depth].push_back(it.PageNo);
    if (p.IsLeaf()) {
      if (leafDepth == -1) leafDepth = static_cast<int>(it.Depth);
      if (leafDepth != static_cast<int>(it.Depth)) Violation(" Invlaid leaf link.", it.PageNo, 0);
      if (p.Count() == 0 && it.Depth > 0) Violation("", it.PageNo, 0);
      continue;
    }
    if (p.Count() == 0) Violation("", it.PageNo, 0);
    for (int i = p.Count(); i-- > 0;) stack.push_back({p.Child(i), it.Depth + 1});
  }
  for (const auto& level : levels)
    for (size_t i = 0; i < level.size(); ++i) {
      TORBBTreePage p = Page(session, level[i]);
      const int32_t prev = i > 0 ? level[i - 1] : -1, next = i + 1 < level.size() ? level[i + 1] : -1;
      if (p.Prev() != prev || p.Next() != next) Violation(" Invlaid leaf link.", level[i], 0);
    }
  std::vector<uint8_t> last;
  int32_t lastPage = -1;
  int entryNo = 0;
  if (levels.empty()) return;
  for (int32_t no : levels.back()) {
    TORBBTreePage p = Page(session, no);
    for (int i = 0; i < p.Count(); ++i) {
      if (!last.empty() && !inOrder(last.data(), p.Entry(i))) Violation("", lastPage, entryNo);
      last.assign(p.Entry(i), p.Entry(i) + LeafEntrySize());
      lastPage = no;
      entryNo = i;
    }
  }
}

}  // namespace orb
