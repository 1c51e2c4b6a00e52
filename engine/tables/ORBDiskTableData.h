// TORBDiskTableData: a table stored in a database file. Adds to the shared
// table operations the table's files (metadata, state, locks), the table
// list, transactions of the session, a repairing open, and the multi-user
// protocol: open locks between processes, a reading lock around each
// operation, and catching up with what other processes committed.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "storage/ORBInternalFile.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBDiskRecordManager.h"
#include "tables/ORBTableData.h"

namespace orb {

class TORBDiskDatabaseData;
class TORBDiskPageManager;
class TORBDatabaseLock;

class TORBDiskTableData : public TORBTableData {
 public:
  TORBDiskTableData(TORBDiskDatabaseData& db, std::string name);
  ~TORBDiskTableData() override;

  int32_t TableID() const { return tableID_; }

  void CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                   const TORBConstraintDefs& constraints) override;
  void OpenTable(TORBTableCursor& cursor) override;
  void CloseTable(TORBTableCursor& cursor) override;
  void DeleteTable(TORBTableCursor& cursor, bool force) override;
  void RenameTable(const std::string& newName, TORBTableCursor& cursor) override;
  void DiscardChanges(int32_t session) override;

  TORBDiskRecordManager& DiskRecords();

  // How long opening waits for another process's table lock, and an
  // operation for its reading lock (tests shorten them).
  static inline int OpenLockDelayMs = 100;
  static inline int OpenLockTries = 50;
  static inline int ReadLockDelayMs = 40;
  static inline int ReadLockTries = 2250;

 protected:
  TORBPageManager& IndexPages() override;
  int32_t NewObjectID() override;
  bool Transactional() const override { return true; }
  void EnterOperation(int32_t session) override;
  void LeaveOperation() override;
  void BeginChange(int32_t session, bool inTransaction) override;
  void FinishChange(int32_t session, bool inTransaction, bool schema) override;
  void UndoChange(int32_t session, bool inTransaction) override;
  void EndChange(int32_t session) override;
  void DropManagers() override;

 private:
  void CreateManagers();
  void LoadMetaData(int32_t session);
  void SaveMetaData(int32_t session);
  void SaveState(int32_t session);
  // Counts and autoincrement values from the table state file.
  void ReloadState(int32_t session);
  void CatchUp(int32_t session);
  TORBDiskPageManager& Pm();

  TORBDiskDatabaseData& db_;
  int32_t tableID_ = -1;
  TORBTableListEntry entry_;
  std::unique_ptr<TORBInternalDBTransactedAccessFile> metaFile_, stateFile_;
  std::unique_ptr<TORBTableLocksFile> locksFile_;
  TORBDiskRecordManager* disk_ = nullptr;  // records_, as the disk store it is
  // Multi-user: the operation in progress holds the reading lock and the
  // database lock; nested operations share them.
  int depth_ = 0;
  int32_t lockSession_ = 0;
  bool readLock_ = false;
  std::unique_ptr<TORBDatabaseLock> dbLock_;
  int64_t seenChangeCounter_ = -1;
};

}  // namespace orb
