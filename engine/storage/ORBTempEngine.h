// Temporary storage: pages and records kept in memory up to a tenth of the
// available memory, then in an unlinked temporary file.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/ORBMemEngine.h"
#include "storage/ORBPageManager.h"
#include "storage/ORBRecordManager.h"
#include "storage/ORBStreams.h"

namespace orb {

class TORBTemporaryPageManager : public TORBPageManager {
 public:
  // memoryLimitPages < 0: a tenth of the available memory, in pages.
  explicit TORBTemporaryPageManager(bool memoryOnly, int64_t memoryLimitPages = -1);
  ~TORBTemporaryPageManager() override;

  int32_t GetTotalPageCount() override { return count_; }
  void AllocatePage(TORBPage& page) override;
  void FreePage(int32_t pageNo) override;
  bool ReadPage(TORBPage& page) override;
  void WritePage(TORBPage& page) override;

  bool HasFile() const { return file_.IsOpen(); }
  int64_t MemoryLimitPages() const { return limit_; }

 private:
  bool InMemory(int64_t pageNo) const { return memoryOnly_ || pageNo < limit_; }
  void CheckUsed(int32_t pageNo, int32_t code) const;

  bool memoryOnly_;
  int64_t limit_;
  TORBMemoryPageManager inner_;
  TORBScratchFile file_;
  TORBBitsArray used_;
  int64_t next_ = 0;
  int32_t count_ = 0;
};

// Append-only records: a memory share, then a file fed through a small buffer.
class TORBTemporaryRecordManager : public TORBRecordManager {
 public:
  TORBTemporaryRecordManager(int32_t recordSize, bool memoryOnly, int32_t memoryGrowth = 1000, int32_t bufferRecords = 10,
                             int64_t memoryRecords = -1);

  bool InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) override;
  bool UpdateRecord(int32_t, const uint8_t*, TORBRecordID) override { return false; }
  bool DeleteRecord(int32_t, TORBRecordID) override { return false; }
  int GetRecord(int32_t session, TORBNavigation& request) override;
  int CompareRecordIDs(TORBRecordID a, TORBRecordID b) const override;
  void EmptyAll(int32_t session) override;
  TORBRecordID RecordIDByRecNo(int32_t, int64_t recNo) override;
  int64_t RecNoByRecordID(int32_t, TORBRecordID id) override;
  int64_t RecordCount() const override { return count_; }
  int32_t ChangeCounter() const override { return changes_; }
  bool HasFile() const { return file_.IsOpen(); }

 private:
  void Flush();
  void ReadRecord(int64_t n, uint8_t* out);

  int32_t recordSize_;
  bool memoryOnly_;
  int32_t growth_;
  int32_t bufferRecords_;
  int64_t memoryRecords_;
  std::vector<uint8_t> memory_;
  std::vector<uint8_t> buffer_;
  int32_t buffered_ = 0;
  TORBScratchFile file_;
  int64_t count_ = 0;
  int32_t changes_ = 0;
};

}  // namespace orb
