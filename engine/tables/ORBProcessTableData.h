// Tables that live in the process: the "MEMORY" database (tables last until
// the database data goes) and the "TEMP" database (short-lived tables such
// as result sets; append-only records that spill to a scratch file). Their
// changes take effect at once, outside transactions, each all or nothing.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tables/ORBDatabaseData.h"
#include "tables/ORBTableData.h"

namespace orb {

class TORBProcessDatabaseData;

class TORBProcessTableData : public TORBTableData {
 public:
  TORBProcessTableData(TORBProcessDatabaseData& db, std::string name);
  ~TORBProcessTableData() override;

  bool Exists() const { return exists_; }

  void CreateTable(int32_t session, const TORBFieldDefs& fields, const TORBIndexDefs& indexes,
                   const TORBConstraintDefs& constraints) override;
  void OpenTable(TORBTableCursor& cursor) override;
  void CloseTable(TORBTableCursor& cursor) override;
  void DeleteTable(TORBTableCursor& cursor, bool force) override;
  void RenameTable(const std::string& newName, TORBTableCursor& cursor) override;

 protected:
  // The variant's record store and index pages.
  virtual std::unique_ptr<TORBRecordManager> MakeRecords(int32_t recordSize) = 0;
  virtual std::unique_ptr<TORBPageManager> MakeIndexPages() = 0;
  // A temporary table goes when its last cursor closes it.
  virtual bool DropOnLastClose() const { return false; }

  TORBPageManager& IndexPages() override;
  TORBPageManager& BlobPages() override;
  int32_t NewObjectID() override;
  bool Transactional() const override { return false; }
  void BeginChange(int32_t session, bool inTransaction) override;
  void FinishChange(int32_t session, bool inTransaction, bool schema) override;
  void UndoChange(int32_t session, bool inTransaction) override;
  void EndChange(int32_t session) override;
  void DropManagers() override;

  TORBProcessDatabaseData& db_;

 private:
  template <class F>
  void ForEachStore(F&& f);
  void DropTable();

  bool exists_ = false;
  std::unique_ptr<TORBPageManager> indexPages_;
  // BLOB pages chain through their page headers, which index pages here lack.
  std::unique_ptr<TORBPageManager> blobPages_;
};

class TORBMemoryTableData : public TORBProcessTableData {
 public:
  using TORBProcessTableData::TORBProcessTableData;

 protected:
  std::unique_ptr<TORBRecordManager> MakeRecords(int32_t recordSize) override;
  std::unique_ptr<TORBPageManager> MakeIndexPages() override;
};

class TORBTemporaryTableData : public TORBProcessTableData {
 public:
  using TORBProcessTableData::TORBProcessTableData;

 protected:
  std::unique_ptr<TORBRecordManager> MakeRecords(int32_t recordSize) override;
  std::unique_ptr<TORBPageManager> MakeIndexPages() override;
  bool DropOnLastClose() const override { return true; }
  bool RecordsChangeable() const override { return false; }
};

// "MEMORY" and "TEMP": a list of tables and an in-process object id counter.
class TORBProcessDatabaseData : public TORBDatabaseData {
 public:
  ~TORBProcessDatabaseData() override;
  TORBProcessDatabaseData(const TORBProcessDatabaseData&) = delete;
  TORBProcessDatabaseData& operator=(const TORBProcessDatabaseData&) = delete;

  const std::string& Name() const { return name_; }
  // Every session of the process works as session 0 here.
  int32_t ConnectSession() { return 0; }
  // Temporary stores never write scratch files.
  bool MemoryOnly() const { return memoryOnly_; }
  int32_t NextObjectID() override;

  bool TableExists(const std::string& name) override;
  std::vector<std::string> TableNames() override;
  // The table's shared data object (created, not yet holding a table, on first request).
  TORBProcessTableData& GetTableData(const std::string& name) override;
  // Changes here take effect at once: nothing waits for a commit, nothing
  // can be rolled back.
  void Commit(int32_t) override {}
  void Rollback(int32_t) override {}

 protected:
  TORBProcessDatabaseData(std::string name, bool memoryOnly);
  virtual std::unique_ptr<TORBProcessTableData> MakeTable(const std::string& name) = 0;

 private:
  std::string name_;
  bool memoryOnly_;
  std::recursive_mutex lock_;
  int32_t nextObjectId_ = 0;
  std::vector<std::unique_ptr<TORBProcessTableData>> tables_;
};

class TORBMemoryDatabaseData : public TORBProcessDatabaseData {
 public:
  TORBMemoryDatabaseData() : TORBProcessDatabaseData("MEMORY", true) {}

 protected:
  std::unique_ptr<TORBProcessTableData> MakeTable(const std::string& name) override {
    return std::make_unique<TORBMemoryTableData>(*this, name);
  }
};

class TORBTemporaryDatabaseData : public TORBProcessDatabaseData {
 public:
  explicit TORBTemporaryDatabaseData(bool memoryOnly = false) : TORBProcessDatabaseData("TEMP", memoryOnly) {}

 protected:
  std::unique_ptr<TORBProcessTableData> MakeTable(const std::string& name) override {
    return std::make_unique<TORBTemporaryTableData>(*this, name);
  }
};

}  // namespace orb
