// Memory and temporary tables and their databases. Every change commits its
// pages at once; a failed one puts its pages back through a savepoint and
// its records by undoing them.
#include "tables/ORBProcessTableData.h"

#include <algorithm>

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "storage/ORBMemEngine.h"
#include "storage/ORBTempEngine.h"

namespace orb {

TORBProcessTableData::TORBProcessTableData(TORBProcessDatabaseData& db, std::string name)
    : TORBTableData(std::move(name)), db_(db) {}

TORBProcessTableData::~TORBProcessTableData() { DropManagers(); }

TORBPageManager& TORBProcessTableData::IndexPages() {
  if (!indexPages_) indexPages_ = MakeIndexPages();
  return *indexPages_;
}

TORBPageManager& TORBProcessTableData::BlobPages() {
  if (!blobPages_) blobPages_ = std::make_unique<TORBMemoryPageManager>(kPageHeaderSize);
  return *blobPages_;
}

int32_t TORBProcessTableData::NewObjectID() { return db_.NextObjectID(); }

template <class F>
void TORBProcessTableData::ForEachStore(F&& f) {
  if (indexPages_) f(*indexPages_);
  if (blobPages_) f(*blobPages_);
}

void TORBProcessTableData::BeginChange(int32_t session, bool) {
  ForEachStore([&](TORBPageManager& pm) { pm.BeginSavepoint(session); });
}

void TORBProcessTableData::FinishChange(int32_t session, bool, bool) {
  ForEachStore([&](TORBPageManager& pm) { pm.ApplyChanges(session); });
}

void TORBProcessTableData::UndoChange(int32_t session, bool) {
  ForEachStore([&](TORBPageManager& pm) {
    pm.RollbackSavepoint(session);
    pm.ApplyChanges(session);
  });
}

void TORBProcessTableData::EndChange(int32_t session) {
  ForEachStore([&](TORBPageManager& pm) { pm.ReleaseSavepoint(session); });
}

void TORBProcessTableData::DropManagers() {
  TORBTableData::DropManagers();
  // Index objects are gone: their pages go with the stores.
  blobPages_.reset();
  indexPages_.reset();
}

void TORBProcessTableData::CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                                       const TORBConstraintDefs& constraints) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (fields.Count() == 0) throw EORBException("Error creating table - no fields were specified", 10025);
  if (exists_) throw EORBException::Fmt(30395, "Cannot create table. Table '%s' already exists", name_);
  try {
    DefineTable(fields, indexes, constraints);
    const int32_t size = meta_.Fields.MemoryRecordSize();
    records_ = std::make_unique<TORBProcessRecordStore>(MakeRecords(size), meta_.Fields, size);
    IndexPages();  // there from the start, so every later change runs under its savepoint
    CreateSharedManagers();
    if (blobs_) blobs_->CreateIndex(session);
    for (auto& ix : indexes_) ix->Create(session);
    fieldManager_->ResetAutoinc();
    ForEachStore([&](TORBPageManager& pm) { pm.ApplyChanges(session); });
  } catch (...) {
    ForEachStore([&](TORBPageManager& pm) { pm.CancelChanges(session); });
    DropManagers();
    throw;
  }
  exists_ = true;
}

void TORBProcessTableData::OpenTable(TORBTableCursor& cursor) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!exists_) throw EORBException::Fmt(30396, "Table '%s' not exists.", name_);
  if (!cursors_.empty() && cursor.Exclusive)
    throw EORBException::Fmt(20242,
                             "Cannot access table '%s' in exclusive mode. Probably the table is open by another cursors",
                             name_);
  AttachCursor(cursor);
}

void TORBProcessTableData::CloseTable(TORBTableCursor& cursor) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (DetachCursor(cursor) && cursors_.empty() && DropOnLastClose()) DropTable();
}

void TORBProcessTableData::DropTable() {
  cursors_.clear();
  DropManagers();
  meta_ = TORBTableMetaData{};
  exists_ = false;
}

void TORBProcessTableData::DeleteTable(TORBTableCursor& c, bool force) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!exists_) throw EORBException::Fmt(30396, "Table '%s' not exists.", name_);
  for (TORBTableCursor* cur : cursors_)
    if (cur != &c && !force)
      throw EORBException::Fmt(20017, "Cannot delete table '%s'. Table is open by another dataset", name_);
  DropTable();
}

void TORBProcessTableData::RenameTable(const std::string& newName, TORBTableCursor& c) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (TORBTableCursor* cur : cursors_)
    if (cur != &c) throw EORBException::Fmt(10150, "Cannot rename table '%s'. Table is open by another dataset", name_);
  if (!exists_) throw EORBException::Fmt(30397, "Table '%s' not exists.", name_);
  if (!SameName(newName, name_) && db_.TableExists(newName))
    throw EORBException::Fmt(30395, "Cannot create table. Table '%s' already exists", newName);
  name_ = newName;
}

// ---- variants ---------------------------------------------------------------

std::unique_ptr<TORBRecordManager> TORBMemoryTableData::MakeRecords(int32_t recordSize) {
  return std::make_unique<TORBMemoryRecordManager>(recordSize, 1000);
}

std::unique_ptr<TORBPageManager> TORBMemoryTableData::MakeIndexPages() {
  return std::make_unique<TORBMemoryPageManager>();
}

std::unique_ptr<TORBRecordManager> TORBTemporaryTableData::MakeRecords(int32_t recordSize) {
  return std::make_unique<TORBTemporaryRecordManager>(recordSize, db_.MemoryOnly(), 1000, 10);
}

std::unique_ptr<TORBPageManager> TORBTemporaryTableData::MakeIndexPages() {
  return std::make_unique<TORBTemporaryPageManager>(db_.MemoryOnly());
}

// ---- databases --------------------------------------------------------------

TORBProcessDatabaseData::TORBProcessDatabaseData(std::string name, bool memoryOnly)
    : name_(std::move(name)), memoryOnly_(memoryOnly) {}

TORBProcessDatabaseData::~TORBProcessDatabaseData() = default;

int32_t TORBProcessDatabaseData::NextObjectID() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return ++nextObjectId_;
}

bool TORBProcessDatabaseData::TableExists(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (auto& t : tables_)
    if (t->Exists() && SameName(t->Name(), name)) return true;
  return false;
}

std::vector<std::string> TORBProcessDatabaseData::TableNames() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<std::string> names;
  for (auto& t : tables_)
    if (t->Exists()) names.push_back(t->Name());
  return names;
}

TORBProcessTableData& TORBProcessDatabaseData::GetTableData(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (auto& t : tables_)
    if (t->Exists() && SameName(t->Name(), name)) return *t;
  // A dropped table's object is reused rather than freed: cursors may still point at it.
  for (auto& t : tables_)
    if (!t->Exists() && SameName(t->Name(), name)) return *t;
  tables_.push_back(MakeTable(name));
  return *tables_.back();
}

}  // namespace orb
