// Record indexes: a table's user-visible B-tree indexes keyed by column
// values, each leaf entry pointing at a record by its RecordID.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "storage/ORBMemEngine.h"
#include "storage/ORBRecordManager.h"
#include "tables/ORBBTree.h"
#include "tables/ORBBTreeKeys.h"
#include "tables/ORBMetaData.h"

namespace orb {

enum TORBCompareKind : int { ckEqual = 1, ckLess = 2, ckGreater = 3, ckLessOrEqual = 4, ckGreaterOrEqual = 5 };

// A cursor's remembered position in an index, valid for one tree state.
struct TORBIndexPositionCache {
  const void* Index = nullptr;
  int32_t Session = -3;
  TORBRecordID ID;
  TORBKeyPath Path;
};

class TORBBTreeRecordIndex {
 public:
  // The key layout is fixed here; a key too large for a third of a page is
  // refused ("Index error: invalid params").
  TORBBTreeRecordIndex(TORBPageManager& pm, TORBIndexDef& def, const TORBFieldDefs& fields,
                       TORBIndexRecordReader* reader);

  TORBIndexDef& Def() { return def_; }
  const TORBRecordKeyRef& KeyRef() const { return keys_; }
  TORBBTree& Tree() { return tree_; }

  // Allocates the root and records it in the definition; `fill`, when given,
  // is called with an insert function for every record of the table.
  void Create(int32_t session,
              const std::function<void(const std::function<void(const uint8_t*, TORBRecordID)>&)>& fill = {});
  void Open() { tree_.RootPageNo = def_.RootPageNo; }
  void Drop(int32_t session);
  void Empty(int32_t session);

  void InsertKey(int32_t session, const uint8_t* record, TORBRecordID id);
  // "Index error: cannot delete entry. Entry not found" when absent.
  void DeleteKey(int32_t session, const uint8_t* record, TORBRecordID id);
  // Phase 1 (before the record is rewritten) removes the old key, phase 0
  // (after) inserts the new one; nothing happens when the keys are equal.
  void UpdateKey(int32_t session, const uint8_t* oldRecord, const uint8_t* newRecord, TORBRecordID id, int phase);
  // Full keys equal byte for byte (case changes count as changes).
  bool KeysEqual(const uint8_t* recordA, const uint8_t* recordB) const;

  // Key searches take a full key (FullKey / FullKeyFromValues).
  TORBKeyPath FindKey(int32_t session, int kind, const uint8_t* fullKey, int keyFieldCount, int partialChars,
                      bool fromFirst);
  // Whether another entry than `except` has an equal key.
  bool KeyExists(int32_t session, const uint8_t* fullKey, const TORBRecordID* except = nullptr);
  bool KeyConflicts(int32_t session, const uint8_t* oldRecord, const uint8_t* newRecord, TORBRecordID id);

  // Index-order navigation: mode next/prior from a record (its buffer given)
  // or from either end. Answers a TORBGetResult and moves `id`.
  int Navigate(int32_t session, int mode, bool fromFirst, bool fromLast, TORBRecordID& id, const uint8_t* record,
               TORBIndexPositionCache* cache);
  // The path of a record's entry; empty when the record is not indexed.
  TORBKeyPath PathOf(int32_t session, const uint8_t* record, TORBRecordID id);

  int64_t RecNoOf(int32_t session, TORBRecordID id, const uint8_t* record);
  TORBRecordID RecordIDAt(int32_t session, int64_t recNo);
  int64_t EntryCount(int32_t session) { return tree_.EntryCount(session); }
  int64_t EstimateRange(int32_t session, int lowKind, const uint8_t* lowKey, int highKind, const uint8_t* highKey,
                        int keyFieldCount, int64_t recordCount);
  TORBRecordID RecordIDAtPath(int32_t session, const TORBKeyPath& path);
  // Bitmap position of an entry in index order.
  int64_t PositionOf(const TORBKeyPath& path) const;
  int MaxEntriesPerPage() const;
  // Clears the bit of every entry whose first k columns equal the last kept one.
  void ApplyDistinct(int32_t session, TORBBitsArray& bitmap, int keyFieldCount);
  // Order and structure of the whole tree; with expectedCount >= 0 also the
  // number of entries.
  void CheckIntegrity(int32_t session, int64_t expectedCount = -1);

 private:
  std::vector<uint8_t> EntryFullKey(int32_t session, const uint8_t* entry);
  TORBRecordID IdAt(int32_t session, const TORBKeyPath& p);

  TORBIndexDef& def_;
  TORBRecordKeyRef keys_;
  TORBBTree tree_;
  TORBIndexRecordReader* reader_;
};

}  // namespace orb
