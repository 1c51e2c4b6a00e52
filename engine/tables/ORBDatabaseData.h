// TORBDatabaseData: what every database offers the layers above (its table
// data objects, names, object ids, commit and rollback of a session), and
// TORBDiskDatabaseData, one open database file with its system files.
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
#include "tables/ORBDiskTableData.h"

namespace orb {

class TORBTableData;
class TORBDiskTableData;

class TORBDatabaseData {
 public:
  virtual ~TORBDatabaseData() = default;
  virtual bool TableExists(const std::string& name) = 0;
  virtual std::vector<std::string> TableNames() = 0;
  // The table's shared data object, created on first request.
  virtual TORBTableData& GetTableData(const std::string& name) = 0;
  virtual int32_t NextObjectID() = 0;
  // Commits the session's pages; discards them, and the tables' counts
  // and temporary indexes follow.
  virtual void Commit(int32_t session) = 0;
  virtual void Rollback(int32_t session) = 0;
  virtual bool MultiUser() const { return false; }
  // Carried for callers that retry a locked operation (attempts, delay in ms).
  int32_t RetryCount = 20;
  int32_t RetryDelayMs = 50;
};

class TORBDiskDatabaseData : public TORBDatabaseData {
 public:
  // A new empty database file with its system files.
  static void CreateDatabase(const std::string& fileName, const TORBPassword& password,
                             uint16_t pageSize = kDefaultPageSize);
  // Multi-user: other processes may have the file open too; every table
  // operation then runs under the database lock and first catches up with
  // what they committed.
  TORBDiskDatabaseData(const std::string& fileName, const TORBPassword& password, bool readOnly = false,
                       bool multiUser = false);
  ~TORBDiskDatabaseData() override;
  TORBDiskDatabaseData(const TORBDiskDatabaseData&) = delete;
  TORBDiskDatabaseData& operator=(const TORBDiskDatabaseData&) = delete;

  TORBDiskPageManager& PageManager() { return pm_; }
  TORBSystemFiles& System() { return *system_; }
  bool ReadOnly() const { return readOnly_; }
  bool MultiUser() const override { return multiUser_; }
  // The session cursors of this connection work in: 0 single-user, the
  // connected session slot multi-user (other processes hold other slots).
  int32_t Session() const { return session_; }
  // Table locks between processes; null single-user.
  TORBDatabaseTableLockManager* Locks() { return locks_.get(); }

  bool TableExists(const std::string& name) override;
  std::vector<std::string> TableNames() override;
  // The table's shared data object (created closed on first request).
  TORBDiskTableData& GetTableData(const std::string& name) override;
  int32_t NextObjectID() override { return pm_.GetNextObjectID(); }
  // Commits the session's pages and the table list's; discards them.
  void Commit(int32_t session) override;
  void Rollback(int32_t session) override;

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
