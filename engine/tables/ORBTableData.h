// TORBTableData: one open table shared by every cursor on it, whatever
// stores it (a database file, memory, temporary storage): record insert,
// update and delete that keep records, BLOBs, indexes and constraints
// consistent, each all or nothing; navigation, filters and the search
// planner, Find, record numbers, emptying, field renames and index changes.
// The variants supply the stores, persistence and the table lifecycle.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tables/ORBBTreePageIndex.h"
#include "tables/ORBBTreeRecordIndex.h"
#include "tables/ORBBlobManager.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBRecordBitmap.h"
#include "tables/ORBRecordFilter.h"
#include "tables/ORBTableRecordStore.h"
#include "tables/ORBTableRules.h"

namespace orb {

class TORBPageManager;
class TORBTemporaryPageManager;

// What the table layer needs of a cursor: its session, its record buffer
// and where it stands.
struct TORBTableCursor {
  int32_t Session = 0;
  bool InTransaction = false;
  bool Exclusive = false;
  std::vector<uint8_t> Record;
  TORBRecordID Current;
  int ActiveIndex = -1;  // position in the index list, -1 for physical order
  TORBIndexPositionCache Cache;
  bool Bof = true, Eof = true;
  // Set by the opener: the first open checks the record page index against
  // the stored count and rebuilds it from the record pages when they differ.
  bool RepairOpen = false;
  TORBSessionSequences Sequences;
  // A filter restricts what the cursor sees; its bitmap holds the visible
  // records by ordinal and is rebuilt when the table's change counter moves.
  TORBRecordFilter* Filter = nullptr;
  std::unique_ptr<TORBRecordBitmap> Bitmap;
};

class TORBTableData {
 public:
  explicit TORBTableData(std::string name);
  virtual ~TORBTableData();
  TORBTableData(const TORBTableData&) = delete;
  TORBTableData& operator=(const TORBTableData&) = delete;

  const std::string& Name() const { return name_; }
  bool IsOpen() const { return records_ != nullptr; }
  const TORBFieldDefs& Fields() const { return meta_.Fields; }
  const TORBIndexDefs& Indexes() const { return meta_.Indexes; }
  const TORBConstraintDefs& Constraints() const { return meta_.Constraints; }
  int64_t RecordCount() const;
  int32_t ChangeCounter() const;

  virtual void CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                           const TORBConstraintDefs& constraints) = 0;
  virtual void OpenTable(TORBTableCursor& cursor) = 0;
  virtual void CloseTable(TORBTableCursor& cursor) = 0;
  virtual void DeleteTable(TORBTableCursor& cursor, bool force) = 0;
  virtual void RenameTable(const std::string& newName, TORBTableCursor& cursor) = 0;
  void EmptyTable(TORBTableCursor& cursor);
  void RenameField(int32_t session, const std::string& oldName, const std::string& newName);
  void AddIndex(const TORBIndexDef& def, TORBTableCursor& cursor);
  void DeleteIndex(int32_t objectID, TORBTableCursor& cursor);

  // After the session's uncommitted pages were dropped: the counts and
  // cached positions go back to what the store holds.
  virtual void DiscardChanges(int32_t) {}

  // A blank record buffer (every field NULL, defaults applied).
  std::vector<uint8_t> NewRecord() const;
  // Record operations on the cursor's buffer and current record; each is all
  // or nothing and commits unless the cursor is in a transaction.
  void InsertRecord(TORBTableCursor& cursor);
  void UpdateRecord(TORBTableCursor& cursor);
  void DeleteRecord(TORBTableCursor& cursor);
  // 0 current, 1 next, 2 prior; fills the cursor's buffer. Answers a TORBGetResult.
  int GetRecord(TORBTableCursor& cursor, int mode);
  void First(TORBTableCursor& cursor);
  void Last(TORBTableCursor& cursor);
  // Positions on the first record of the active index whose key columns
  // equal `values` (all columns or a leading part) and that the cursor sees.
  bool FindKey(TORBTableCursor& cursor, const std::vector<TORBVariant>& values);
  // The same with a comparison kind (ckEqual..ckGreaterOrEqual): the first
  // visible record in index order whose key compares so with `values`; with
  // `partial` the last value is a string prefix. A nearest search is ckGreaterOrEqual.
  bool FindRecordByCondition(TORBTableCursor& cursor, int kind, const std::vector<TORBVariant>& values,
                             bool partial = false);
  // Restricts the cursor to the records its filter accepts (nullptr: all).
  void SetFilter(TORBTableCursor& cursor, TORBRecordFilter* filter);
  // Records the cursor sees.
  int64_t CursorRecordCount(TORBTableCursor& cursor);
  // Positions on the first record (in the cursor's order of candidates) that
  // `condition` accepts and the cursor sees.
  bool Locate(TORBTableCursor& cursor, TORBRecordFilter& condition);
  // The candidates the search planner enumerates for a filter: an index
  // range when one is cheaper than a scan (then `scan` is false).
  std::vector<TORBRecordID> Candidates(TORBTableCursor& cursor, const TORBRecordFilter& filter, bool* scan,
                                       int* indexUsed = nullptr);
  int64_t GetRecNo(TORBTableCursor& cursor);
  void SetRecNo(TORBTableCursor& cursor, int64_t recNo);
  int IndexNumber(const std::string& name) const;
  // The autoincrement value the cursor's session last took for the field;
  // when it took none, strict raises and otherwise the table's last one answers.
  int64_t GetLastAutoincValue(const TORBTableCursor& cursor, size_t field, bool strict) const;

  // An index of the cursor's session ordering by these fields: an existing
  // one whose leading columns match, else a temporary index built for the
  // session (never stored with the table, dropped with it or with the
  // session's cursors). Answers its position in the index list and whether
  // it was made now.
  std::pair<int, bool> GetTempIndex(TORBTableCursor& cursor, const std::vector<std::string>& fields,
                                    const std::vector<bool>& descending = {},
                                    const std::vector<bool>& caseInsensitive = {});
  // Rebuilds the session's temporary indexes that fell behind the table.
  void RefreshSessionIndexes(int32_t session);

  // BLOB values of the cursor's buffer, written with the field's compression.
  void SetBlobValue(TORBTableCursor& cursor, size_t field, const std::vector<uint8_t>& value);
  std::vector<uint8_t> GetBlobValue(TORBTableCursor& cursor, size_t field);

  // Each index holds exactly one entry per record, in order; the store is
  // sound; every BLOB reference points at a live value and every BLOB page
  // is referenced. Answers the problems found.
  std::vector<std::string> Check(int32_t session);

  TORBTableRecordStore& Records();
  TORBBTreeRecordIndex& Index(size_t i) { return *indexes_.at(i); }

  // Fault injection for tests: called before each index takes a new key.
  std::function<void(size_t index)> BeforeIndexInsert;

 protected:
  // --- what a variant supplies -------------------------------------------
  // Pages of the table's indexes (and, unless BlobPages says otherwise, BLOBs).
  virtual TORBPageManager& IndexPages() = 0;
  virtual TORBPageManager& BlobPages() { return IndexPages(); }
  virtual int32_t NewObjectID() = 0;
  // Whether changes belong to the session's transaction (disk) or take
  // effect at once (memory and temporary tables).
  virtual bool Transactional() const = 0;
  // Temporary records are written once: update and delete are refused.
  virtual bool RecordsChangeable() const { return true; }
  // Around every operation: multi-user catch-up and locks.
  virtual void EnterOperation(int32_t) {}
  virtual void LeaveOperation() {}
  // A change: opened, then finished (state and, for a schema change, the
  // definitions saved; committed unless in a transaction) or undone (every
  // page it touched put back).
  virtual void BeginChange(int32_t session, bool inTransaction) = 0;
  virtual void FinishChange(int32_t session, bool inTransaction, bool schema) = 0;
  virtual void UndoChange(int32_t session, bool inTransaction) = 0;
  virtual void EndChange(int32_t session) = 0;

  // --- shared by the variants --------------------------------------------
  class OperationScope {
   public:
    OperationScope(TORBTableData& t, int32_t session) : t_(t) {
      if (t.records_) {
        t.EnterOperation(session);
        entered_ = true;
        t.SyncTempIndexes(session, true);
      }
    }
    ~OperationScope() {
      if (entered_) t_.LeaveOperation();
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

   private:
    TORBTableData& t_;
    bool entered_ = false;
  };
  // Fills the definitions of a new table: new object ids, constraints bound
  // to them, unique and primary indexes with their constraints.
  void DefineTable(const TORBFieldDefs& fields, const TORBIndexDefs& indexes, const TORBConstraintDefs& constraints);
  // Makes the BLOB manager (when a field needs one), the field manager and
  // the index objects over the variant's pages; the record store is the
  // variant's.
  void CreateSharedManagers();
  virtual void DropManagers();
  // A cursor joins (blank buffer, on BOF/EOF) or leaves the table; leaving
  // answers whether it was there.
  void AttachCursor(TORBTableCursor& cursor);
  bool DetachCursor(TORBTableCursor& cursor);
  TORBTableState CurrentState() const;
  void RestoreState(const TORBTableState& state);
  void TouchAll();
  void CheckNotInTransaction(const TORBTableCursor& cursor, const char* operation) const;
  // Runs the page-changing part of a record operation and finishes it: all
  // of it or none of it. `undoRecords` puts back what a store outside pages
  // did (memory and temporary records).
  // The variant's change hooks plus the temporary index store.
  void StartChange(int32_t session, bool inTransaction);
  void CompleteChange(int32_t session, bool inTransaction, bool schema);
  void AbandonChange(int32_t session, bool inTransaction);
  void CloseChange(int32_t session);
  template <class F, class U>
  void Atomically(TORBTableCursor& c, const TORBTableState& before, F&& change, U&& undoRecords);
  // Applies a definition change and finishes it; a failure puts the
  // definitions and pages back.
  template <class F>
  void ChangeSchema(int32_t session, F&& change);
  // Index objects refer to the definitions: made anew whenever the list changes.
  void MakeIndexObjects();
  TORBPageManager& PagesOf(const TORBIndexDef& def);
  void CheckConstraintsFor(TORBTableCursor& cursor, const uint8_t* old, TORBRecordID self);
  // The stored form of the cursor's current record ("Record not found" when gone).
  std::vector<uint8_t> StoredCurrent(TORBTableCursor& c);
  TORBRecordWalk Walk();
  // Reads every record in physical order into `buffer`; stops when fn answers false.
  void ScanRecords(int32_t session, std::vector<uint8_t>& buffer, const std::function<bool(TORBRecordID)>& fn);
  void BuildIndex(int32_t session, TORBBTreeRecordIndex& index);
  // Rebuilds temporary indexes whose stamp is not the table's change counter
  // (all of them, or the session's).
  void SyncTempIndexes(int32_t session, bool all);
  // Frees the temporary indexes (all, or those of one session).
  void DropTempIndexes(int32_t session, bool all);
  int NavigatePhysical(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  int NavigateUnfiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  int NavigateFiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  void RefreshBitmap(TORBTableCursor& c);
  bool Visible(TORBTableCursor& c, TORBRecordID id);
  // Keeps an up-to-date bitmap in step with a change made through the cursor.
  void TrackChange(TORBTableCursor& c, bool wasCurrent, TORBRecordID id, bool present);
  // Standing on `id` (index path found by the caller), steps forward in the
  // active index to the first record the cursor sees.
  bool SettleVisible(TORBTableCursor& c, TORBBTreeRecordIndex& ix, TORBKeyPath p,
                     const std::function<bool(const uint8_t* record)>& stillMatches);

  std::string name_;
  std::recursive_mutex lock_;
  TORBTableMetaData meta_;
  std::unique_ptr<TORBTableRecordStore> records_;
  std::unique_ptr<TORBBTreeBlobPageIndex> blobIndex_;
  std::unique_ptr<TORBDiskBlobManager> blobs_;
  std::unique_ptr<TORBFieldManager> fieldManager_;
  std::vector<std::unique_ptr<TORBBTreeRecordIndex>> indexes_;
  std::vector<TORBTableCursor*> cursors_;
  bool hasBlobs_ = false;
  // Temporary indexes live in a store of their own; their definitions sit in
  // the index list (never saved) with the session that asked for them.
  std::unique_ptr<TORBTemporaryPageManager> tempPages_;
};

}  // namespace orb
