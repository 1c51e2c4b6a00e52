// TORBDiskTableData: one open table of a database file and every operation
// on it: create, open, close, delete, empty, rename, rename a field, add and
// delete indexes, and record insert/update/delete that keep records, BLOBs,
// indexes and constraints consistent, each all or nothing.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/ORBInternalFile.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBBTreeRecordIndex.h"
#include "tables/ORBBlobManager.h"
#include "tables/ORBDiskRecordManager.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBRecordBitmap.h"
#include "tables/ORBRecordFilter.h"
#include "tables/ORBTableRules.h"

namespace orb {

class TORBDiskDatabaseData;
class TORBDiskPageManager;
class TORBDatabaseLock;

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

class TORBDiskTableData {
 public:
  TORBDiskTableData(TORBDiskDatabaseData& db, std::string name);
  ~TORBDiskTableData();
  TORBDiskTableData(const TORBDiskTableData&) = delete;
  TORBDiskTableData& operator=(const TORBDiskTableData&) = delete;

  const std::string& Name() const { return name_; }
  int32_t TableID() const { return tableID_; }
  bool IsOpen() const { return records_ != nullptr; }
  const TORBFieldDefs& Fields() const { return meta_.Fields; }
  const TORBIndexDefs& Indexes() const { return meta_.Indexes; }
  const TORBConstraintDefs& Constraints() const { return meta_.Constraints; }
  int64_t RecordCount() const;
  int32_t ChangeCounter() const;

  void CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                   const TORBConstraintDefs& constraints);
  void OpenTable(TORBTableCursor& cursor);
  void CloseTable(TORBTableCursor& cursor);
  void DeleteTable(TORBTableCursor& cursor, bool force);
  void EmptyTable(TORBTableCursor& cursor);
  void RenameTable(const std::string& newName, TORBTableCursor& cursor);
  void RenameField(int32_t session, const std::string& oldName, const std::string& newName);
  void AddIndex(const TORBIndexDef& def, TORBTableCursor& cursor);
  void DeleteIndex(int32_t objectID, TORBTableCursor& cursor);

  // After the session's uncommitted pages were dropped: the counts and
  // cached positions go back to what the file holds.
  void DiscardChanges(int32_t session);

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
  // equal `values` (all columns or a leading part).
  bool FindKey(TORBTableCursor& cursor, const std::vector<TORBVariant>& values);
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

  // BLOB values of the cursor's buffer, written with the field's compression.
  void SetBlobValue(TORBTableCursor& cursor, size_t field, const std::vector<uint8_t>& value);
  std::vector<uint8_t> GetBlobValue(TORBTableCursor& cursor, size_t field);

  // Each index holds exactly one entry per record, in order; the page index
  // agrees with the record pages; every BLOB reference points at a live
  // value and every BLOB page is referenced. Answers the problems found.
  std::vector<std::string> Check(int32_t session);

  TORBDiskRecordManager& Records();
  TORBBTreeRecordIndex& Index(size_t i) { return *indexes_.at(i); }

  // How long opening waits for another process's table lock (tests shorten it).
  static inline int OpenLockDelayMs = 100;
  static inline int OpenLockTries = 50;

  // Fault injection for tests: called before each index takes a new key.
  std::function<void(size_t index)> BeforeIndexInsert;

 private:
  void CreateManagers();
  void DropManagers();
  void LoadMetaData(int32_t session);
  void SaveMetaData(int32_t session);
  void SaveState(int32_t session);
  void Commit(int32_t session, bool inTransaction);
  void RollbackOperation(int32_t session, bool inTransaction, const TORBTableState& state);
  TORBTableState CurrentState() const;
  void RestoreState(const TORBTableState& state);
  void CheckNotInTransaction(const TORBTableCursor& cursor, const char* operation) const;
  // Runs the page-changing part of a record operation, then saves the state
  // and commits (outside a transaction): all of it or none of it.
  template <class F>
  void Atomically(TORBTableCursor& c, const TORBTableState& before, F&& change);
  // Applies a definition change, writes the metadata and commits; a failure
  // puts the definitions back.
  template <class F>
  void ChangeSchema(int32_t session, F&& change);
  // Index objects refer to the definitions: made anew whenever the list changes.
  void MakeIndexObjects();
  void CheckConstraintsFor(TORBTableCursor& cursor, const uint8_t* old, TORBRecordID self);
  bool ReadRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& buffer);
  // The stored form of the cursor's current record ("Record not found" when gone).
  std::vector<uint8_t> StoredCurrent(TORBTableCursor& c);
  TORBRecordWalk Walk();
  // Reads every record in physical order into `buffer`; stops when fn answers false.
  void ScanRecords(int32_t session, std::vector<uint8_t>& buffer, const std::function<bool(TORBRecordID)>& fn);
  void BuildIndex(int32_t session, TORBBTreeRecordIndex& index);
  int NavigatePhysical(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  int NavigateUnfiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  int NavigateFiltered(TORBTableCursor& c, int mode, bool fromFirst, bool fromLast);
  void RefreshBitmap(TORBTableCursor& c);
  bool Visible(TORBTableCursor& c, TORBRecordID id);
  // Keeps an up-to-date bitmap in step with a change made through the cursor.
  void TrackChange(TORBTableCursor& c, bool wasCurrent, TORBRecordID id, bool present);
  TORBDiskPageManager& Pm();
  // Multi-user: holds the database lock for one operation, after catching up
  // with what other processes committed since this process last looked.
  class SharedScope {
   public:
    explicit SharedScope(TORBDiskTableData& t, int32_t session);
    ~SharedScope();
    SharedScope(const SharedScope&) = delete;
    SharedScope& operator=(const SharedScope&) = delete;

   private:
    TORBDiskTableData& t_;
    std::unique_ptr<TORBDatabaseLock> lock_;
  };
  void CatchUp(int32_t session);
  // Counts and autoincrement values from the table state file.
  void ReloadState(int32_t session);
  int64_t seenChangeCounter_ = -1;

  TORBDiskDatabaseData& db_;
  std::string name_;
  int32_t tableID_ = -1;
  std::recursive_mutex lock_;
  TORBTableMetaData meta_;
  TORBTableListEntry entry_;
  std::unique_ptr<TORBInternalDBTransactedAccessFile> metaFile_, stateFile_;
  std::unique_ptr<TORBTableLocksFile> locksFile_;
  std::unique_ptr<TORBDiskRecordManager> records_;
  std::unique_ptr<TORBBTreeBlobPageIndex> blobIndex_;
  std::unique_ptr<TORBDiskBlobManager> blobs_;
  std::unique_ptr<TORBFieldManager> fieldManager_;
  std::vector<std::unique_ptr<TORBBTreeRecordIndex>> indexes_;
  std::vector<TORBTableCursor*> cursors_;
  bool hasBlobs_ = false;
};

}  // namespace orb
