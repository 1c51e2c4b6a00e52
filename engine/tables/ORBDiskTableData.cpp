// Tables in a database file: their files, the table list, transactions and
// the multi-user protocol around the shared table operations.
#include "tables/ORBDiskTableData.h"

#include <algorithm>

#include "orb/ORBExcept.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBFileFormat.h"
#include "storage/ORBFreeSpace.h"
#include "tables/ORBDatabaseData.h"

namespace orb {

TORBDiskTableData::TORBDiskTableData(TORBDiskDatabaseData& db, std::string name)
    : TORBTableData(std::move(name)), db_(db) {}

TORBDiskTableData::~TORBDiskTableData() { DropManagers(); }

TORBDiskPageManager& TORBDiskTableData::Pm() { return db_.PageManager(); }
TORBPageManager& TORBDiskTableData::IndexPages() { return db_.PageManager(); }
int32_t TORBDiskTableData::NewObjectID() { return db_.NextObjectID(); }

TORBDiskRecordManager& TORBDiskTableData::DiskRecords() {
  if (!disk_) throw EORBException("Nil pointer occured", 20135);
  return *disk_;
}

// ---- multi-user -------------------------------------------------------------

void TORBDiskTableData::EnterOperation(int32_t session) {
  if (!db_.MultiUser() || depth_++ > 0) return;
  try {
    // The reading lock first: waiting for it must not hold the whole database.
    if (TORBDatabaseTableLockManager* locks = db_.Locks(); locks && locksFile_) {
      if (!locks->LockTable(session, lkRead, *locksFile_, true, ReadLockDelayMs, ReadLockTries))
        throw EORBException("Table is locked", 20214);
      readLock_ = true;
      lockSession_ = session;
    }
    dbLock_ = std::make_unique<TORBDatabaseLock>(Pm(), 20215);
    CatchUp(session);
  } catch (...) {
    LeaveOperation();
    throw;
  }
}

void TORBDiskTableData::LeaveOperation() {
  if (!db_.MultiUser() || --depth_ > 0) return;
  if (dbLock_) {
    seenChangeCounter_ = Pm().Header().ChangeCounter;
    dbLock_.reset();
  }
  if (readLock_ && db_.Locks() && locksFile_) {
    try {
      db_.Locks()->UnlockTable(lockSession_, lkRead, false, true, *locksFile_);
    } catch (...) {
      // Releasing cannot report; the lock byte goes with the connection.
    }
  }
  readLock_ = false;
}

void TORBDiskTableData::CatchUp(int32_t session) {
  Pm().ReadHeader();
  if (Pm().Header().ChangeCounter == seenChangeCounter_) return;
  // Another process committed: cached pages and the counts may be stale.
  Pm().DropCachedPages();
  ReloadState(session);
  seenChangeCounter_ = Pm().Header().ChangeCounter;
}

void TORBDiskTableData::ReloadState(int32_t session) {
  const std::vector<uint8_t> bytes = stateFile_->ReadAll(session, true);
  TORBTableState s;
  s.Load(bytes.data(), bytes.size());
  RestoreState(s);
  TouchAll();
  for (TORBTableCursor* cur : cursors_) cur->Bitmap.reset();
}

void TORBDiskTableData::DiscardChanges(int32_t session) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  // Only an open table has state to go back to (a table being created has none yet).
  if (!records_ || cursors_.empty()) return;
  ReloadState(session);
  // Temporary indexes may hold keys of what was just discarded.
  for (size_t i = 0; i < meta_.Indexes.Count(); ++i)
    if (meta_.Indexes[i].Temporary) meta_.Indexes[i].ChangeStamp = -1;
  RefreshSessionIndexes(session);
}

// ---- changes ----------------------------------------------------------------

void TORBDiskTableData::BeginChange(int32_t session, bool inTransaction) {
  if (inTransaction) Pm().BeginSavepoint(session);
}

void TORBDiskTableData::FinishChange(int32_t session, bool inTransaction, bool schema) {
  if (schema) SaveMetaData(session);
  else SaveState(session);
  if (!inTransaction) db_.Commit(session);
}

void TORBDiskTableData::UndoChange(int32_t session, bool inTransaction) {
  if (inTransaction) Pm().RollbackSavepoint(session);
  else db_.Rollback(session);
}

void TORBDiskTableData::EndChange(int32_t session) { Pm().ReleaseSavepoint(session); }

// ---- files and managers -----------------------------------------------------

void TORBDiskTableData::CreateManagers() {
  meta_.Fields.ComputeOffsets();
  auto records = std::make_unique<TORBDiskRecordManager>(Pm(), meta_.Fields, tableID_);
  records->InitLayout(meta_.Fields.MemoryRecordSize(), meta_.Fields.RecordSize(),
                      static_cast<int32_t>(meta_.Fields.Count()));
  records->SetIndexRoot(meta_.RecordIndexRoot);
  disk_ = records.get();
  records_ = std::move(records);
  CreateSharedManagers();
}

void TORBDiskTableData::DropManagers() {
  locksFile_.reset();
  TORBTableData::DropManagers();
  disk_ = nullptr;
  metaFile_.reset();
  stateFile_.reset();
}

void TORBDiskTableData::LoadMetaData(int32_t session) {
  const std::vector<uint8_t> bytes = metaFile_->ReadAll(session, true);
  meta_ = TORBTableMetaData{};
  meta_.Load(bytes.data(), bytes.size());
}

void TORBDiskTableData::SaveMetaData(int32_t session) {
  meta_.RecordIndexRoot = disk_->IndexRoot();
  meta_.BlobState = blobs_ ? blobs_->WriteIndexRoot() : std::vector<uint8_t>{};
  const std::vector<uint8_t> bytes = meta_.Save();
  metaFile_->WriteFile(session, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TORBDiskTableData::SaveState(int32_t session) {
  const std::vector<uint8_t> bytes = CurrentState().Save();
  stateFile_->WriteFile(session, bytes.data(), static_cast<int32_t>(bytes.size()));
}

// ---- table lifecycle --------------------------------------------------------

void TORBDiskTableData::CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                                   const TORBConstraintDefs& constraints) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (fields.Count() == 0) throw EORBException("Error creating table - no fields were specified", 20128);
  if (db_.TableExists(name_)) throw EORBException::Fmt(30395, "Cannot create table. Table '%s' already exists", name_);
  try {
    tableID_ = db_.NextObjectID();
    DefineTable(fields, indexes, constraints);
    metaFile_ = std::make_unique<TORBInternalDBTransactedAccessFile>(Pm(), ptTableMetaData);
    stateFile_ = std::make_unique<TORBInternalDBTransactedAccessFile>(Pm(), ptTableMostUpdated);
    metaFile_->Create(session);
    stateFile_->Create(session);
    TORBTableLocksFile locks(Pm());
    locks.Create(db_.System().Sessions.SlotCount());
    CreateManagers();
    disk_->CreatePageIndex(session);
    if (blobs_) blobs_->CreateIndex(session);
    for (auto& ix : indexes_) ix->Create(session);
    fieldManager_->ResetAutoinc();
    SaveState(session);
    SaveMetaData(session);
    entry_ = {name_, tableID_, metaFile_->StartPageNo, stateFile_->StartPageNo, locks.StartPageNo()};
    db_.System().TableList.Load();
    db_.System().TableList.Add(entry_);
    db_.System().TableList.Save();
    db_.Commit(session);
  } catch (...) {
    db_.Rollback(session);
    DropManagers();
    throw;
  }
  DropManagers();
}

void TORBDiskTableData::OpenTable(TORBTableCursor& cursor) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!cursors_.empty() && cursor.Exclusive)
    throw EORBException::Fmt(20242,
                             "Cannot access table '%s' in exclusive mode. Probably the table is open by another cursors",
                             name_);
  if (cursors_.empty()) {
    db_.System().TableList.Load();
    entry_ = db_.System().TableList.Find(name_);
    name_ = entry_.Name;
    tableID_ = entry_.TableID;
    try {
      metaFile_ = std::make_unique<TORBInternalDBTransactedAccessFile>(Pm(), ptTableMetaData);
      stateFile_ = std::make_unique<TORBInternalDBTransactedAccessFile>(Pm(), ptTableMostUpdated);
      metaFile_->Open(entry_.MetaDataPageNo);
      stateFile_->Open(entry_.HeaderDataPageNo);
      LoadMetaData(cursor.Session);
      CreateManagers();
      const std::vector<uint8_t> state = stateFile_->ReadAll(cursor.Session, true);
      TORBTableState s;
      s.Load(state.data(), state.size());
      RestoreState(s);
      // Multi-user: read without the database lock, so the first operation catches up.
      seenChangeCounter_ = db_.MultiUser() ? -1 : Pm().Header().ChangeCounter;
      if (cursor.RepairOpen) {
        try {
          disk_->CheckPageIndex(cursor.Session);
        } catch (const EORBException&) {
          disk_->RepairPageIndex(cursor.Session, [&](int32_t page) { return Pm().FreeSpace().IsPageUsed(page); });
          SaveMetaData(cursor.Session);
          SaveState(cursor.Session);
          db_.Commit(cursor.Session);
        }
      }
    } catch (...) {
      DropManagers();
      throw;
    }
  }
  if (TORBDatabaseTableLockManager* locks = db_.Locks()) {
    // Between processes: a shared open lock, or the exclusive one.
    cursor.Session = db_.Session();
    if (!locksFile_) {
      locksFile_ = std::make_unique<TORBTableLocksFile>(Pm());
      locksFile_->Open(entry_.LocksPageNo);
    }
    const int kind = cursor.Exclusive ? lkExclusive : lkOpen;
    if (!locks->LockTable(cursor.Session, kind, *locksFile_, false, OpenLockDelayMs, OpenLockTries)) {
      if (cursors_.empty()) DropManagers();
      if (cursor.Exclusive)
        throw EORBException::Fmt(
            20208, "Cannot access table '%s' in exclusive mode. Probably the table is open by another user", name_);
      throw EORBException::Fmt(20209, "Cannot open table '%s'. Table is locked", name_);
    }
  }
  AttachCursor(cursor);
}

void TORBDiskTableData::CloseTable(TORBTableCursor& cursor) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (std::find(cursors_.begin(), cursors_.end(), &cursor) == cursors_.end()) return;
  if (db_.Locks() && locksFile_)
    db_.Locks()->UnlockTable(cursor.Session, cursor.Exclusive ? lkExclusive : lkOpen, false, true, *locksFile_);
  DetachCursor(cursor);
  if (cursors_.empty()) DropManagers();
}

void TORBDiskTableData::DeleteTable(TORBTableCursor& c, bool force) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (TORBTableCursor* cur : cursors_)
    if (cur != &c && !force)
      throw EORBException::Fmt(20017, "Cannot delete table '%s'. Table is open by another dataset", name_);
  CheckNotInTransaction(c, "DeleteTable");
  const bool wasOpen = std::find(cursors_.begin(), cursors_.end(), &c) != cursors_.end();
  if (!wasOpen) OpenTable(c);
  try {
    DropTempIndexes(c.Session, true);
    for (auto& ix : indexes_) ix->Drop(c.Session);
    if (blobs_) blobs_->DropAll(c.Session, Walk());
    disk_->EmptyAll(c.Session);
    disk_->PageIndex().Drop(c.Session);
    metaFile_->Delete(c.Session);
    stateFile_->Delete(c.Session);
    TORBTableLocksFile locks(Pm());
    locks.Open(entry_.LocksPageNo);
    locks.Delete();
    db_.System().TableList.Load();
    db_.System().TableList.Delete(name_);
    db_.System().TableList.Save();
    db_.Commit(c.Session);
  } catch (...) {
    db_.Rollback(c.Session);
    cursors_.clear();
    DropManagers();
    throw;
  }
  cursors_.clear();
  DropManagers();
}

void TORBDiskTableData::RenameTable(const std::string& newName, TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (TORBTableCursor* cur : cursors_)
    if (cur != &c) throw EORBException::Fmt(10150, "Cannot rename table '%s'. Table is open by another dataset", name_);
  CheckNotInTransaction(c, "RenameTable");
  try {
    db_.System().TableList.Load();
    db_.System().TableList.Rename(name_, newName);
    db_.System().TableList.Save();
    db_.Commit(c.Session);
  } catch (...) {
    db_.Rollback(c.Session);
    throw;
  }
  name_ = newName;
}

}  // namespace orb
