// Page indexes over the shared B-tree: free-room search, counts, and
// physical order of a table's pages.
#include "tables/ORBBTreePageIndex.h"

#include "orb/ORBExcept.h"

namespace orb {

TORBBTreePageIndex::TORBBTreePageIndex(TORBPageManager& pm) : tree_(pm, 4, 2) {}

void TORBBTreePageIndex::Drop(int32_t session) {
  if (tree_.RootPageNo >= 0) tree_.Drop(session);
}

void TORBBTreePageIndex::Empty(int32_t session) {
  if (tree_.RootPageNo < 0) throw EORBException("Invalid page number", 20124);
  tree_.Empty(session);
}

TORBKeyPath TORBBTreePageIndex::First(int32_t session) { return tree_.First(session); }
TORBKeyPath TORBBTreePageIndex::Last(int32_t session) { return tree_.Last(session); }

TORBKeyPath TORBBTreePageIndex::Find(int32_t session, int32_t pageNo) {
  if (tree_.RootPageNo < 0) throw EORBException("Index error: invalid page number", 20118);
  TORBPageKeySearch s(pageNo);
  TORBKeyPath p = tree_.LowerBound(session, s);
  if (!TORBBTree::AtEntry(p)) return {};
  std::vector<uint8_t> e;
  tree_.ReadEntry(session, p, e);
  return GetLE<int32_t>(e.data()) == pageNo ? p : TORBKeyPath{};
}

int32_t TORBBTreePageIndex::GetValue(int32_t session, int32_t pageNo) {
  TORBKeyPath p = Find(session, pageNo);
  if (p.Empty()) return -1;
  std::vector<uint8_t> e;
  tree_.ReadEntry(session, p, e);
  return GetLE<uint16_t>(e.data() + 4);
}

void TORBBTreePageIndex::AddOrIncrease(int32_t session, int32_t pageNo, int32_t delta) {
  TORBKeyPath p = Find(session, pageNo);
  if (p.Empty()) {
    if (delta < 0 || delta > 0xFFFF) throw EORBException("Cannot add data item to page. Page is full", 20106);
    uint8_t key[4], value[2];
    PutLE<int32_t>(key, pageNo);
    PutLE<uint16_t>(value, static_cast<uint16_t>(delta));
    TORBPageKeySearch s(pageNo);
    tree_.Insert(session, s, key, value);
    return;
  }
  std::vector<uint8_t> e;
  tree_.ReadEntry(session, p, e);
  const int32_t v = GetLE<uint16_t>(e.data() + 4);
  if (!HasRoom(v, delta)) throw EORBException("Cannot add data item to page. Page is full", 20106);
  uint8_t value[2];
  PutLE<uint16_t>(value, static_cast<uint16_t>(v + delta));
  tree_.WritePayload(session, p, value);
}

void TORBBTreePageIndex::DecreaseOrSet(int32_t session, int32_t pageNo, int32_t delta, int32_t newValue) {
  if (tree_.RootPageNo < 0) throw EORBException("Invalid page number", 20110);
  TORBKeyPath p = Find(session, pageNo);
  if (p.Empty()) throw EORBException("Invalid page number", 20111);
  std::vector<uint8_t> e;
  tree_.ReadEntry(session, p, e);
  int32_t v = GetLE<uint16_t>(e.data() + 4);
  if (newValue < 0) {
    if (v == 0) throw EORBException("Index error: page is empty", 20112);
    v = std::max(v - delta, 0);
  } else {
    v = newValue;
  }
  if (v == 0) {
    tree_.RemoveAt(session, p);
    return;
  }
  uint8_t value[2];
  PutLE<uint16_t>(value, static_cast<uint16_t>(v));
  tree_.WritePayload(session, p, value);
}

int32_t TORBBTreePageIndex::FindPageWithRoom(int32_t session, int32_t n) {
  if (tree_.RootPageNo < 0) throw EORBException("Invalid page number", 20125);
  std::vector<uint8_t> e;
  auto scan = [&](TORBKeyPath p, bool forward) -> int32_t {
    if (!TORBBTree::AtEntry(p)) return -1;
    // As many entries as the starting leaf holds.
    for (int left = p.Leaf().EntryCount; left > 0; --left) {
      tree_.ReadEntry(session, p, e);
      if (HasRoom(GetLE<uint16_t>(e.data() + 4), n)) return GetLE<int32_t>(e.data());
      if (!(forward ? tree_.Next(session, p) : tree_.Prior(session, p))) break;
    }
    return -1;
  };
  const int32_t back = scan(tree_.Last(session), false);
  return back != -1 ? back : scan(tree_.First(session), true);
}

int32_t TORBBTreePageIndex::NextPage(int32_t session, int32_t pageNo) {
  TORBPageKeySearch s(pageNo);
  TORBKeyPath p = tree_.LowerBound(session, s);
  std::vector<uint8_t> e;
  while (TORBBTree::AtEntry(p)) {
    tree_.ReadEntry(session, p, e);
    if (GetLE<int32_t>(e.data()) > pageNo) return GetLE<int32_t>(e.data());
    if (!tree_.Next(session, p)) break;
  }
  return -1;
}

int32_t TORBBTreePageIndex::PriorPage(int32_t session, int32_t pageNo) {
  TORBPageKeySearch s(pageNo);
  TORBKeyPath p = tree_.LowerBound(session, s);
  std::vector<uint8_t> e;
  if (!TORBBTree::AtEntry(p)) {
    p = tree_.Last(session);
    if (!TORBBTree::AtEntry(p)) return -1;
    tree_.ReadEntry(session, p, e);
    return GetLE<int32_t>(e.data()) < pageNo ? GetLE<int32_t>(e.data()) : -1;
  }
  if (!tree_.Prior(session, p)) return -1;
  tree_.ReadEntry(session, p, e);
  return GetLE<int32_t>(e.data());
}

void TORBBTreePageIndex::ForEach(int32_t session, const std::function<bool(int32_t pageNo, int32_t value)>& fn) {
  if (tree_.RootPageNo < 0) throw EORBException("Invalid page number", 20126);
  tree_.ForEachEntry(session, [&](const uint8_t* k, const uint8_t* v) {
    return fn(GetLE<int32_t>(k), GetLE<uint16_t>(v));
  });
}

const TORBBTreePageIndex::Counts& TORBBTreePageIndex::PageCounts(int32_t session) {
  if (countsStamp_ == tree_.ChangeStamp() && countsSession_ == session) return counts_;
  Counts c;
  ForEach(session, [&](int32_t page, int32_t value) {
    c.Pages.push_back(page);
    c.Before.push_back(c.Total);
    c.Total += value;
    return true;
  });
  counts_ = std::move(c);
  countsStamp_ = tree_.ChangeStamp();
  countsSession_ = session;
  return counts_;
}

void TORBBTreePageIndex::CheckIntegrity(int32_t session) {
  tree_.CheckStructure(session, [](const uint8_t* a, const uint8_t* b) {
    return GetLE<int32_t>(a) < GetLE<int32_t>(b);
  });
}

}  // namespace orb
