// Record index operations: key maintenance, key searches by comparison
// kind, index-order navigation, record numbers, estimates and the check.
#include "tables/ORBBTreeRecordIndex.h"

#include <cmath>

#include "orb/ORBExcept.h"

namespace orb {

TORBBTreeRecordIndex::TORBBTreeRecordIndex(TORBPageManager& pm, TORBIndexDef& def, const TORBFieldDefs& fields,
                                           TORBIndexRecordReader* reader)
    : def_(def), keys_(def, fields), tree_(pm, keys_.KeySize(), keys_.LeafPayloadSize()), reader_(reader) {
  tree_.RootPageNo = def.RootPageNo;
}

void TORBBTreeRecordIndex::Create(
    int32_t session, const std::function<void(const std::function<void(const uint8_t*, TORBRecordID)>&)>& fill) {
  tree_.CreateRoot(session);
  def_.RootPageNo = tree_.RootPageNo;
  if (fill) fill([&](const uint8_t* record, TORBRecordID id) { InsertKey(session, record, id); });
}

void TORBBTreeRecordIndex::Drop(int32_t session) {
  if (tree_.RootPageNo >= 0) tree_.Drop(session);
  def_.RootPageNo = -1;
}

void TORBBTreeRecordIndex::Empty(int32_t session) { tree_.Empty(session); }

void TORBBTreeRecordIndex::InsertKey(int32_t session, const uint8_t* record, TORBRecordID id) {
  const std::vector<uint8_t> full = keys_.FullKey(record);
  std::vector<uint8_t> stored(keys_.KeySize());
  keys_.StoreKey(full.data(), stored.data());
  uint8_t payload[6];
  WriteRecordID(payload, id);
  TORBRecordKeySearch s(keys_, full.data(), reader_, session);
  s.SetIdentity(id);
  tree_.Insert(session, s, stored.data(), payload);
}

TORBKeyPath TORBBTreeRecordIndex::PathOf(int32_t session, const uint8_t* record, TORBRecordID id) {
  const std::vector<uint8_t> full = keys_.FullKey(record);
  TORBRecordKeySearch s(keys_, full.data(), reader_, session);
  s.SetIdentity(id);
  TORBKeyPath p = tree_.LowerBound(session, s);
  if (!TORBBTree::AtEntry(p) || !(IdAt(session, p) == id)) return {};
  return p;
}

void TORBBTreeRecordIndex::DeleteKey(int32_t session, const uint8_t* record, TORBRecordID id) {
  TORBKeyPath p = PathOf(session, record, id);
  if (p.Empty()) throw EORBException("Index error: cannot delete entry. Entry not found", 20027);
  tree_.RemoveAt(session, p);
}

bool TORBBTreeRecordIndex::KeysEqual(const uint8_t* a, const uint8_t* b) const {
  return keys_.FullKey(a) == keys_.FullKey(b);
}

void TORBBTreeRecordIndex::UpdateKey(int32_t session, const uint8_t* oldRecord, const uint8_t* newRecord,
                                     TORBRecordID id, int phase) {
  if (KeysEqual(oldRecord, newRecord)) return;
  if (phase == 1) DeleteKey(session, oldRecord, id);
  else InsertKey(session, newRecord, id);
}

TORBRecordID TORBBTreeRecordIndex::IdAt(int32_t session, const TORBKeyPath& p) {
  std::vector<uint8_t> e;
  tree_.ReadEntry(session, p, e);
  return ReadRecordID(e.data() + keys_.KeySize());
}

TORBKeyPath TORBBTreeRecordIndex::FindKey(int32_t session, int kind, const uint8_t* fullKey, int keyFieldCount,
                                          int partialChars, bool fromFirst) {
  if (!fullKey) throw EORBException("Pointer is nil", 20076);
  TORBRecordKeySearch s(keys_, fullKey, reader_, session, keyFieldCount, partialChars);
  // Sign of (key - entry) at a path.
  auto cmp = [&](const TORBKeyPath& p) {
    std::vector<uint8_t> e;
    tree_.ReadEntry(session, p, e);
    const int c = s.Compare(e.data(), e.data() + keys_.KeySize());
    return c == TORBBTreeSearch::kUndecided ? 0 : c;
  };
  auto holds = [&](const TORBKeyPath& p) {
    if (!TORBBTree::AtEntry(p)) return false;
    const int c = cmp(p);  // entry (kind) key  <=>  -c (kind) 0
    switch (kind) {
      case ckEqual: return c == 0;
      case ckLess: return c > 0;
      case ckGreater: return c < 0;
      case ckLessOrEqual: return c >= 0;
      case ckGreaterOrEqual: return c <= 0;
      default: throw EORBException("Index error: invalid params", 20078);
    }
  };
  TORBKeyPath p;
  if (fromFirst) {
    switch (kind) {
      case ckEqual: case ckGreaterOrEqual: p = tree_.LowerBound(session, s); break;
      case ckGreater: p = tree_.UpperBound(session, s); break;
      default: p = tree_.First(session); break;
    }
  } else {
    switch (kind) {
      case ckEqual: case ckLessOrEqual: p = tree_.LastNotGreater(session, s); break;
      case ckLess:
        p = tree_.LowerBound(session, s);
        if (TORBBTree::AtEntry(p)) {
          if (!tree_.Prior(session, p)) p = {};
        } else {
          p = tree_.Last(session);
        }
        break;
      default: p = tree_.Last(session); break;
    }
  }
  return holds(p) ? p : TORBKeyPath{};
}

bool TORBBTreeRecordIndex::KeyExists(int32_t session, const uint8_t* fullKey, const TORBRecordID* except) {
  TORBRecordKeySearch s(keys_, fullKey, reader_, session);
  TORBKeyPath p = tree_.LowerBound(session, s);
  std::vector<uint8_t> e;
  while (TORBBTree::AtEntry(p)) {
    tree_.ReadEntry(session, p, e);
    const int c = s.Compare(e.data(), e.data() + keys_.KeySize());
    if (c != 0) return false;
    if (!except || !(ReadRecordID(e.data() + keys_.KeySize()) == *except)) return true;
    if (!tree_.Next(session, p)) return false;
  }
  return false;
}

bool TORBBTreeRecordIndex::KeyConflicts(int32_t session, const uint8_t* oldRecord, const uint8_t* newRecord,
                                        TORBRecordID id) {
  if (oldRecord && KeysEqual(oldRecord, newRecord)) return false;
  const std::vector<uint8_t> full = keys_.FullKey(newRecord);
  return KeyExists(session, full.data(), &id);
}

int TORBBTreeRecordIndex::Navigate(int32_t session, int mode, bool fromFirst, bool fromLast, TORBRecordID& id,
                                   const uint8_t* record, TORBIndexPositionCache* cache) {
  if (mode == nmCurrent) throw EORBException("Invalid get record mode for index: grmCurrent", 20053);
  const bool next = mode == nmNext;
  TORBKeyPath p;
  if (fromFirst || fromLast) {
    if (fromFirst != next) return next ? grEOF : grBOF;
    p = next ? tree_.First(session) : tree_.Last(session);
    if (!TORBBTree::AtEntry(p)) return next ? grEOF : grBOF;
  } else {
    // A cached path is good only for the same tree state (its stamp).
    if (cache && cache->Index == this && cache->Session == session && cache->ID == id &&
        cache->Path.Stamp == tree_.ChangeStamp() && !cache->Path.Empty()) {
      p = cache->Path;
    } else {
      if (!record) throw EORBException("Pointer is nil", 20077);
      p = PathOf(session, record, id);
      if (p.Empty()) return grNotFound;
    }
    if (!(next ? tree_.Next(session, p) : tree_.Prior(session, p))) return next ? grEOF : grBOF;
  }
  id = IdAt(session, p);
  if (cache) {
    cache->Index = this;
    cache->Session = session;
    cache->ID = id;
    cache->Path = p;
    cache->Path.Stamp = tree_.ChangeStamp();
  }
  return grFound;
}

int64_t TORBBTreeRecordIndex::RecNoOf(int32_t session, TORBRecordID id, const uint8_t* record) {
  TORBKeyPath p = PathOf(session, record, id);
  if (p.Empty()) return -1;
  return tree_.EntriesBefore(session, p) + 1;
}

TORBRecordID TORBBTreeRecordIndex::RecordIDAt(int32_t session, int64_t recNo) {
  return IdAt(session, tree_.PathOfOrdinal(session, recNo - 1));
}

int64_t TORBBTreeRecordIndex::EstimateRange(int32_t session, int lowKind, const uint8_t* lowKey, int highKind,
                                            const uint8_t* highKey, int keyFieldCount, int64_t recordCount) {
  TORBKeyPath lo = lowKey ? FindKey(session, lowKind, lowKey, keyFieldCount, -1, true) : tree_.First(session);
  TORBKeyPath hi = highKey ? FindKey(session, highKind, highKey, keyFieldCount, -1, false) : tree_.Last(session);
  if (!TORBBTree::AtEntry(lo) || !TORBBTree::AtEntry(hi)) return 0;
  auto pos = [](const TORBKeyPath& p) {
    long double r = 0, scale = 1;
    for (const TORBKeyLevel& l : p.Levels) {
      scale *= std::max(l.EntryCount, 1);
      r += l.EntryNo / scale;
    }
    return r;
  };
  const long double est = std::round((pos(hi) - pos(lo)) * static_cast<long double>(recordCount));
  return std::clamp<int64_t>(static_cast<int64_t>(est), 0, recordCount);
}

TORBRecordID TORBBTreeRecordIndex::RecordIDAtPath(int32_t session, const TORBKeyPath& path) {
  if (path.Empty()) throw EORBException("Index error: invalid position", 20068);
  int32_t pageNo = tree_.RootPageNo;
  for (size_t l = 0; l < path.Levels.size(); ++l) {
    TORBBTreePage p(tree_.PageManager(), session, pageNo, keys_.KeySize(), keys_.LeafPayloadSize());
    const int e = path.Levels[l].EntryNo;
    if (e < 0 || e >= p.Count()) throw EORBException("Index error: invalid position", 20069);
    if (p.IsLeaf()) return ReadRecordID(p.Payload(e));
    pageNo = p.Child(e);
  }
  throw EORBException("Index error: invalid position", 20069);
}

int TORBBTreeRecordIndex::MaxEntriesPerPage() const {
  return static_cast<int>(tree_.PageManager().PageDataSize / (keys_.KeySize() + 4u));
}

int64_t TORBBTreeRecordIndex::PositionOf(const TORBKeyPath& path) const {
  const int64_t r = MaxEntriesPerPage() + 1;
  int64_t pos = 0;
  for (const TORBKeyLevel& l : path.Levels) pos = pos * r + (l.EntryNo + 1);
  return pos;
}

std::vector<uint8_t> TORBBTreeRecordIndex::EntryFullKey(int32_t session, const uint8_t* entry) {
  if (!keys_.HasTruncation()) return std::vector<uint8_t>(entry, entry + keys_.KeySize());
  std::vector<uint8_t> record;
  if (!reader_ || !reader_->ReadIndexedRecord(session, ReadRecordID(entry + keys_.KeySize()), record))
    throw EORBException("Cannot retreive record for index", 20170);
  return keys_.FullKey(record.data());
}

void TORBBTreeRecordIndex::ApplyDistinct(int32_t session, TORBBitsArray& bitmap, int keyFieldCount) {
  TORBKeyPath p = tree_.First(session);
  std::vector<uint8_t> kept, e;
  for (bool more = TORBBTree::AtEntry(p); more; more = tree_.Next(session, p)) {
    const int64_t bit = PositionOf(p);
    if (!bitmap.Get(bit)) continue;
    tree_.ReadEntry(session, p, e);
    std::vector<uint8_t> full = EntryFullKey(session, e.data());
    if (!kept.empty() && keys_.CompareFull(kept.data(), full.data(), keyFieldCount) == 0) bitmap.Set(bit, false);
    else kept = std::move(full);
  }
}

void TORBBTreeRecordIndex::CheckIntegrity(int32_t session, int64_t expectedCount) {
  const bool canOrder = !keys_.HasTruncation() || reader_;
  tree_.CheckStructure(session, [&](const uint8_t* a, const uint8_t* b) {
    if (!canOrder) return true;
    const int c = keys_.CompareFull(EntryFullKey(session, a).data(), EntryFullKey(session, b).data());
    if (c != 0) return c < 0;
    return CompareRecordIDs(ReadRecordID(a + keys_.KeySize()), ReadRecordID(b + keys_.KeySize())) < 0;
  });
  if (expectedCount >= 0 && tree_.EntryCount(session) != expectedCount)
    throw EORBException::Fmt(31132, "Index '%s' holds %d entries for %d records", def_.Name,
                             tree_.EntryCount(session), expectedCount);
}

}  // namespace orb
