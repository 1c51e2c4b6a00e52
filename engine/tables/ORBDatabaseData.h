// TORBDiskDatabaseData: one open database file with its system files and
// the table data objects of its tables.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orb/ORBPassword.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"
#include "storage/ORBTableLocks.h"

namespace orb {

class TORBDiskTableData;

class TORBDiskDatabaseData {
 public:
  // A new empty database file with its system files.
  static void CreateDatabase(const std::string& fileName, const TORBPassword& password,
                             uint16_t pageSize = kDefaultPageSize);
  // Multi-user: other processes may have the file open too; every table
  // operation then runs under the database lock and first catches up with
  // what they committed.
  TORBDiskDatabaseData(const std::string& fileName, const TORBPassword& password, bool readOnly = false,
                       bool multiUser = false);
  ~TORBDiskDatabaseData();
  TORBDiskDatabaseData(const TORBDiskDatabaseData&) = delete;
  TORBDiskDatabaseData& operator=(const TORBDiskDatabaseData&) = delete;

  TORBDiskPageManager& PageManager() { return pm_; }
  TORBSystemFiles& System() { return *system_; }
  bool ReadOnly() const { return readOnly_; }
  bool MultiUser() const { return multiUser_; }
  // The session cursors of this connection work in: 0 single-user, the
  // connected session slot multi-user (other processes hold other slots).
  int32_t Session() const { return session_; }
  // Table locks between processes; null single-user.
  TORBDatabaseTableLockManager* Locks() { return locks_.get(); }

  bool TableExists(const std::string& name);
  std::vector<std::string> TableNames();
  // The table's shared data object (created closed on first request).
  TORBDiskTableData& GetTableData(const std::string& name);
  int32_t NextObjectID() { return pm_.GetNextObjectID(); }
  // Commits the session's pages and the table list's; discards them.
  void Commit(int32_t session);
  void Rollback(int32_t session);

 private:
  TORBDiskPageManager pm_;
  std::unique_ptr<TORBSystemFiles> system_;
  std::recursive_mutex lock_;
  std::vector<std::unique_ptr<TORBDiskTableData>> tables_;
  bool readOnly_ = false;
  bool multiUser_ = false;
  int32_t session_ = 0;
  std::unique_ptr<TORBDatabaseTableLockManager> locks_;
};

}  // namespace orb
