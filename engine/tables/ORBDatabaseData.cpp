// Database data: the open file, its system files and its tables.
#include "tables/ORBDatabaseData.h"

#include "orb/ORBExcept.h"
#include "orb/ORBText.h"
#include "tables/ORBDiskTableData.h"

namespace orb {

void TORBDiskDatabaseData::CreateDatabase(const std::string& fileName, const TORBPassword& password,
                                          uint16_t pageSize) {
  TORBDiskPageManager pm;
  pm.CreateDatabaseFile(fileName, password, kDefaultExtentPageCount, pageSize);
  TORBSystemFiles(pm).Create();
  pm.CloseDatabaseFile();
}

TORBDiskDatabaseData::TORBDiskDatabaseData(const std::string& fileName, const TORBPassword& password,
                                           bool readOnly, bool multiUser) {
  bool mu = multiUser, needsRepair = false, ro = readOnly;
  pm_.OpenDatabaseFile(fileName, password, mu, !multiUser, needsRepair, ro);
  readOnly_ = ro;
  multiUser_ = mu;
  system_ = std::make_unique<TORBSystemFiles>(pm_);
  system_->Open();
  if (multiUser_) {
    session_ = system_->Sessions.ConnectSession();
    locks_ = std::make_unique<TORBDatabaseTableLockManager>(pm_, system_->Sessions.SlotCount());
  }
}

TORBDiskDatabaseData::~TORBDiskDatabaseData() {
  tables_.clear();
  try {
    // What was never committed is given back, so its new pages do not leak.
    if (!readOnly_) Rollback(session_);
    if (multiUser_) system_->Sessions.DisconnectSession(session_);
  } catch (...) {
  }
  locks_.reset();
  system_.reset();
  try {
    pm_.CloseDatabaseFile();
  } catch (...) {
    // Closing cannot report; the file's state is what the last commit left.
  }
}

bool TORBDiskDatabaseData::TableExists(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  system_->TableList.Load();
  return system_->TableList.Exists(name);
}

std::vector<std::string> TORBDiskDatabaseData::TableNames() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  system_->TableList.Load();
  return system_->TableList.Names();
}

TORBDiskTableData& TORBDiskDatabaseData::GetTableData(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (auto& t : tables_)
    if (SameName(t->Name(), name)) return *t;
  tables_.push_back(std::make_unique<TORBDiskTableData>(*this, name));
  return *tables_.back();
}

void TORBDiskDatabaseData::Commit(int32_t session) {
  pm_.ApplyChanges(session);
  pm_.ApplyChanges(kSystemSession);
}

void TORBDiskDatabaseData::Rollback(int32_t session) {
  pm_.CancelChanges(session);
  pm_.CancelChanges(kSystemSession);
  system_->TableList.Load();
  for (auto& t : tables_) t->DiscardChanges(session);
}

}  // namespace orb
