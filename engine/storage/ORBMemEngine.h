// In-process storage: the memory page manager (pages in buffers, no header),
// the memory record manager, and the "MEMORY" database data shell.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "storage/ORBPageManager.h"
#include "storage/ORBRecordManager.h"

namespace orb {

// A growable bit array.
class TORBBitsArray {
 public:
  bool Get(int64_t i) const { return i >= 0 && i < size_ && (words_[static_cast<size_t>(i / 64)] >> (i % 64)) & 1; }
  void Set(int64_t i, bool v);
  int64_t Size() const { return size_; }
  void Resize(int64_t n);
  // Lowest clear bit below Size(), or -1.
  int64_t FirstClear() const;
  const std::vector<uint64_t>& Words() const { return words_; }
  std::vector<uint64_t>& Words() { return words_; }

 private:
  std::vector<uint64_t> words_;
  int64_t size_ = 0;
};

class TORBMemoryPageManager : public TORBPageManager {
 public:
  static constexpr int32_t kGrowthStep = 50;
  // Pages have no header unless one is asked for (BLOB pages chain through it).
  explicit TORBMemoryPageManager(uint16_t headerSize = 0);
  ~TORBMemoryPageManager() override;

  int32_t GetTotalPageCount() override { return count_; }
  void LoadFromStream(TORBStream& stream) override;
  void SaveToStream(TORBStream& stream) override;
  void AllocatePage(TORBPage& page) override;
  void FreePage(int32_t pageNo) override;
  bool ReadPage(TORBPage& page) override;
  void WritePage(TORBPage& page) override;

  bool IsUsed(int32_t pageNo) const { return used_.Get(pageNo); }
  int32_t Capacity() const { return static_cast<int32_t>(buffers_.size()); }
  int32_t HighestUsed() const { return highest_; }

 private:
  void Grow(int32_t capacity);
  void CheckUsed(int32_t pageNo, int32_t code) const;
  void ReleaseBuffers();

  std::vector<uint8_t*> buffers_;
  TORBBitsArray used_;
  int32_t highest_ = -1;
  int32_t count_ = 0;
};

class TORBMemoryRecordManager : public TORBRecordManager {
 public:
  TORBMemoryRecordManager(int32_t recordSize, int32_t growthStep = 1000);
  ~TORBMemoryRecordManager() override;

  bool InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) override;
  bool UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) override;
  bool DeleteRecord(int32_t session, TORBRecordID id) override;
  int GetRecord(int32_t session, TORBNavigation& request) override;
  int CompareRecordIDs(TORBRecordID a, TORBRecordID b) const override;
  void EmptyAll(int32_t session) override;
  TORBRecordID RecordIDByRecNo(int32_t session, int64_t recNo) override;
  int64_t RecNoByRecordID(int32_t session, TORBRecordID id) override;
  int64_t RecordCount() const override { return count_; }
  int32_t ChangeCounter() const override { return changes_; }
  int64_t LowestSlot() const { return lowest_; }
  int64_t HighestSlot() const { return highest_; }

 private:
  bool Live(int64_t slot) const { return count_ > 0 && slot >= lowest_ && slot <= highest_ && !deleted_.Get(slot); }
  void Copy(int64_t slot, uint8_t* out) const;

  int32_t recordSize_;
  int32_t growth_;
  std::vector<uint8_t> records_;
  TORBBitsArray deleted_;
  int64_t capacity_ = 0, lowest_ = 0, highest_ = 0, count_ = 0;
  int32_t changes_ = 0;
  bool everDeleted_ = false;
};


}  // namespace orb
