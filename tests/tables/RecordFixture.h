// A disk database with one table's record manager and record indexes, for
// the record and index tests; it can be closed and reopened.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "orb/ORBText.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBBTreeRecordIndex.h"
#include "tables/ORBDiskRecordManager.h"

namespace orbtest {

inline orb::TORBFieldDef Field(const std::string& name, uint8_t declared, int32_t size = 0) {
  orb::TORBFieldDef f;
  f.Name = name;
  f.SetType(declared, size);
  return f;
}

inline orb::TORBIndexColumn Col(const std::string& field, bool desc = false, bool ci = false, int32_t max = 20) {
  return {field, desc, ci, max};
}

constexpr uint8_t kVarchar = 2, kWideString = 4, kInteger = 7, kLargeInt = 8, kDate = 25;

class RecordFixture {
 public:
  RecordFixture(const std::string& file, orb::TORBFieldDefs fields, uint16_t pageSize = 4096)
      : file_(file), fields_(std::move(fields)) {
    fields_.ComputeOffsets();
    pm_ = std::make_unique<orb::TORBDiskPageManager>();
    pm_->CreateDatabaseFile(file, orb::TORBPassword{"", 0}, orb::kDefaultExtentPageCount, pageSize);
    orb::TORBSystemFiles(*pm_).Create();
    MakeRecords();
    records_->CreatePageIndex(0);
    Commit();
  }

  orb::TORBDiskPageManager& Pm() { return *pm_; }
  orb::TORBDiskRecordManager& Records() { return *records_; }
  const orb::TORBFieldDefs& Fields() const { return fields_; }
  orb::TORBBTreeRecordIndex& Index(size_t i) { return *indexes_[i]; }
  size_t IndexCount() const { return indexes_.size(); }

  orb::TORBBTreeRecordIndex& AddIndex(const std::string& name, std::vector<orb::TORBIndexColumn> cols,
                                      bool unique = false) {
    orb::TORBIndexDef d;
    d.Name = name;
    d.Columns = std::move(cols);
    d.Unique = unique;
    defs_.push_back(d);
    indexes_.push_back(std::make_unique<orb::TORBBTreeRecordIndex>(*pm_, defs_.back(), fields_, records_.get()));
    indexes_.back()->Create(0);
    return *indexes_.back();
  }

  std::vector<uint8_t> NewRecord() const {
    std::vector<uint8_t> r(static_cast<size_t>(fields_.MemoryRecordSize()), 0);
    for (size_t i = 0; i < fields_.Count(); ++i) orb::SetFieldNull(r.data(), i, true);
    return r;
  }
  void SetInt(std::vector<uint8_t>& r, size_t f, int32_t v) const {
    orb::SetFieldNull(r.data(), f, false);
    std::memcpy(r.data() + fields_[f].MemoryOffset, &v, 4);
  }
  void SetStr(std::vector<uint8_t>& r, size_t f, const std::string& s) const {
    orb::SetFieldNull(r.data(), f, false);
    uint8_t* p = r.data() + fields_[f].MemoryOffset;
    std::memset(p, 0, static_cast<size_t>(fields_[f].MemoryDataSize));
    std::memcpy(p, s.data(), std::min(s.size(), static_cast<size_t>(fields_[f].MemoryDataSize - 1)));
  }
  void SetNull(std::vector<uint8_t>& r, size_t f) const { orb::SetFieldNull(r.data(), f, true); }

  orb::TORBRecordID Insert(const std::vector<uint8_t>& r) {
    orb::TORBRecordID id;
    EXPECT_TRUE(records_->InsertRecord(0, r.data(), id)) << records_->LastError();
    for (auto& ix : indexes_) ix->InsertKey(0, r.data(), id);
    return id;
  }
  void Delete(orb::TORBRecordID id) {
    std::vector<uint8_t> r;
    ASSERT_TRUE(records_->ReadIndexedRecord(0, id, r));
    for (auto& ix : indexes_) ix->DeleteKey(0, r.data(), id);
    ASSERT_TRUE(records_->DeleteRecord(0, id));
  }
  void Update(orb::TORBRecordID id, const std::vector<uint8_t>& now) {
    std::vector<uint8_t> old;
    ASSERT_TRUE(records_->ReadIndexedRecord(0, id, old));
    for (auto& ix : indexes_) ix->UpdateKey(0, old.data(), now.data(), id, 1);
    ASSERT_TRUE(records_->UpdateRecord(0, now.data(), id));
    for (auto& ix : indexes_) ix->UpdateKey(0, old.data(), now.data(), id, 0);
  }

  void Commit() {
    state_ = orb::TORBTableState{};
    records_->WriteState(state_);
    pm_->ApplyChanges(0);
  }

  // Closes the file and opens it again with the saved roots and state.
  void Reopen() {
    Commit();
    const int32_t pageRoot = records_->IndexRoot();
    indexes_.clear();
    records_.reset();
    pm_->CloseDatabaseFile();
    pm_ = std::make_unique<orb::TORBDiskPageManager>();
    bool mu = false, rep = false, ro = false;
    pm_->OpenDatabaseFile(file_, orb::TORBPassword{"", 0}, mu, true, rep, ro);
    MakeRecords();
    records_->SetIndexRoot(pageRoot);
    records_->ReadState(state_);
    for (auto& d : defs_) {
      indexes_.push_back(std::make_unique<orb::TORBBTreeRecordIndex>(*pm_, d, fields_, records_.get()));
      indexes_.back()->Open();
    }
  }

 private:
  void MakeRecords() {
    records_ = std::make_unique<orb::TORBDiskRecordManager>(*pm_, fields_, 77);
    records_->InitLayout(fields_.MemoryRecordSize(), fields_.RecordSize(), static_cast<int32_t>(fields_.Count()));
  }

  std::string file_;
  orb::TORBFieldDefs fields_;
  std::unique_ptr<orb::TORBDiskPageManager> pm_;
  std::unique_ptr<orb::TORBDiskRecordManager> records_;
  std::deque<orb::TORBIndexDef> defs_;
  std::vector<std::unique_ptr<orb::TORBBTreeRecordIndex>> indexes_;
  orb::TORBTableState state_;
};

}  // namespace orbtest
