// Record storage of a disk table: fixed-size records in slots of record
// pages (type 10), a page index of record counts for free-slot search,
// physical order and record numbers.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/ORBPageManager.h"
#include "storage/ORBRecordManager.h"
#include "tables/ORBBTreeKeys.h"
#include "tables/ORBBTreePageIndex.h"
#include "tables/ORBMetaData.h"
#include "tables/ORBTableRecordStore.h"

namespace orb {

class TORBPage;

// The slots of one record page: a slot bitmap, then RecordsPerPage slots.
class TORBSmallRecordPage {
 public:
  TORBSmallRecordPage(TORBPage& page, int32_t recordsPerPage, int32_t recordSize);
  bool Used(int32_t slot) const { return (data_[slot / 8] >> (slot % 8)) & 1; }
  void SetUsed(int32_t slot, bool used);
  uint8_t* Slot(int32_t slot) { return data_ + bitmapSize_ + static_cast<size_t>(slot) * recordSize_; }
  int32_t UsedCount() const;
  // -1 when there is none.
  int32_t FirstFree() const;
  int32_t NextUsed(int32_t after) const;   // after = -1: the first
  int32_t PriorUsed(int32_t before) const; // before = RecordsPerPage: the last
  int32_t NthUsed(int32_t n) const;        // 0-based
  int32_t UsedBefore(int32_t slot) const;

 private:
  TORBPage& page_;
  uint8_t* data_;
  int32_t rpp_, recordSize_, bitmapSize_;
};

class TORBDiskRecordManager : public TORBTableRecordStore {
 public:
  TORBDiskRecordManager(TORBPageManager& pm, const TORBFieldDefs& fields, int32_t tableID);

  // Sizes and RecordsPerPage; zeroes the count and the change counter.
  void InitLayout(int32_t memoryRecordSize, int32_t recordSize, int32_t fieldCount);
  void CreatePageIndex(int32_t session);
  int32_t IndexRoot() const { return pageIndex_.RootPageNo(); }
  void SetIndexRoot(int32_t root) { pageIndex_.SetRoot(root); }
  void ReadState(const TORBTableState& state) override;
  void WriteState(TORBTableState& state) const override;
  void Touch() override { pageIndex_.Tree().Touch(); }

  bool InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) override;
  bool UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) override;
  bool DeleteRecord(int32_t session, TORBRecordID id) override;
  int GetRecord(int32_t session, TORBNavigation& request) override;
  int CompareRecordIDs(TORBRecordID a, TORBRecordID b) const override;
  void EmptyAll(int32_t session) override;
  TORBRecordID RecordIDByRecNo(int32_t session, int64_t recNo) override;
  int64_t RecNoByRecordID(int32_t session, TORBRecordID id) override;
  int64_t RecordCount() const override { return recordCount_; }
  int32_t ChangeCounter() const override { return changeCounter_; }
  bool ReadIndexedRecord(int32_t session, TORBRecordID id, std::vector<uint8_t>& record) override;

  // Rebuilds the page index from every page of the table found in the file;
  // `inUse` tells whether the store has the page allocated.
  void RepairPageIndex(int32_t session, const std::function<bool(int32_t)>& inUse);
  // "Invalid table RecordPageIndex or MostUpdated…" when the counts disagree.
  void CheckPageIndex(int32_t session);
  // Also reads every record page: its used slots must match the index.
  void CheckPages(int32_t session) override;

  int32_t RecordsPerPage() const override { return rpp_; }
  int32_t RecordSize() const override { return recordSize_; }
  int32_t MemoryRecordSize() const { return memorySize_; }
  TORBBTreeRecordPageIndex& PageIndex() { return pageIndex_; }
  // Why the last InsertRecord failed.
  const std::string& LastError() const override { return lastError_; }
  // The ordinal limit for record bitmaps: (last page + 1) × RecordsPerPage.
  int64_t OrdinalLimit(int32_t session) override;

 private:
  bool IsTablePage(const TORBPage& page) const;
  void ToRecordForm(const uint8_t* memory, uint8_t* stored) const;
  void ToMemoryForm(const uint8_t* stored, uint8_t* memory) const;
  void CheckSlot(TORBRecordID id) const;
  // First used slot at or after the page following `pageNo`; -1 page when none.
  TORBRecordID FirstFrom(int32_t session, int32_t pageNo, bool forward);
  bool ReadSlot(int32_t session, TORBRecordID id, uint8_t* buffer);

  TORBPageManager& pm_;
  const TORBFieldDefs& fields_;
  int32_t tableID_;
  TORBBTreeRecordPageIndex pageIndex_;
  int32_t memorySize_ = 0, recordSize_ = 0, fieldCount_ = 0, rpp_ = 0;
  int64_t recordCount_ = 0;
  int32_t changeCounter_ = 0;
  std::vector<uint8_t> scratch_;
  std::string lastError_;
};

// Field values between record buffers and a dataset's value buffer. Reading
// answers whether the field has a value; writing with no value sets NULL.
bool GetFieldData(size_t fieldNo, const TORBFieldDefs& fields, const uint8_t* record, void* out);
void SetFieldData(size_t fieldNo, const TORBFieldDefs& fields, uint8_t* record, const void* value);

}  // namespace orb
