// What table data needs of a record store beyond the record operations:
// reading a record by identity into a record buffer, ordinals for filter
// bitmaps, the stored size for the planner, and the state the disk store
// persists. Disk records implement it directly; memory and temporary
// records through TORBProcessRecordStore.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/ORBRecordManager.h"
#include "tables/ORBBTreeKeys.h"
#include "tables/ORBMetaData.h"

namespace orb {

class TORBTableRecordStore : public TORBRecordManager, public TORBIndexRecordReader {
 public:
  // A bitmap ordinal is PageNo × RecordsPerPage + Slot.
  virtual int32_t RecordsPerPage() const = 0;
  // Ordinals stay below this.
  virtual int64_t OrdinalLimit(int32_t session) = 0;
  // Bytes a record takes where it is stored.
  virtual int32_t RecordSize() const = 0;
  // Why the last InsertRecord failed.
  virtual const std::string& LastError() const = 0;
  // Counts the store keeps in the table state, and their reload.
  virtual void ReadState(const TORBTableState&) {}
  virtual void WriteState(TORBTableState&) const {}
  // Cached positions and counts may describe pages that were put back.
  virtual void Touch() {}
  // Raises on a damaged store.
  virtual void CheckPages(int32_t) {}
};

// Memory and temporary records: the store's record is the record buffer with
// its BLOB handles cleared; a record number (slot) is the identity, so a
// bitmap ordinal is the number itself.
class TORBProcessRecordStore : public TORBTableRecordStore {
 public:
  TORBProcessRecordStore(std::unique_ptr<TORBRecordManager> records, const TORBFieldDefs& fields,
                         int32_t recordSize);

  bool InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) override;
  bool UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) override;
  bool DeleteRecord(int32_t session, TORBRecordID id) override { return records_->DeleteRecord(session, id); }
  int GetRecord(int32_t session, TORBNavigation& request) override;
  int CompareRecordIDs(TORBRecordID a, TORBRecordID b) const override { return records_->CompareRecordIDs(a, b); }
  void EmptyAll(int32_t session) override { records_->EmptyAll(session); }
  TORBRecordID RecordIDByRecNo(int32_t session, int64_t recNo) override {
    return records_->RecordIDByRecNo(session, recNo);
  }
  int64_t RecNoByRecordID(int32_t session, TORBRecordID id) override { return records_->RecNoByRecordID(session, id); }
  int64_t RecordCount() const override { return records_->RecordCount(); }
  int32_t ChangeCounter() const override { return records_->ChangeCounter(); }
  bool ReadIndexedRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& record) override;

  int32_t RecordsPerPage() const override { return 1; }
  int64_t OrdinalLimit(int32_t session) override;
  int32_t RecordSize() const override { return recordSize_; }
  const std::string& LastError() const override { return lastError_; }

  TORBRecordManager& Inner() { return *records_; }

 private:
  const uint8_t* Stored(const uint8_t* record);

  std::unique_ptr<TORBRecordManager> records_;
  const TORBFieldDefs& fields_;
  int32_t recordSize_;
  std::vector<uint8_t> scratch_;
  std::string lastError_;
};

}  // namespace orb
