// The record store interface shared by disk, memory and temporary tables:
// fixed-size records identified by a RecordID, physical navigation, record
// numbers.
#pragma once
#include <cstdint>

namespace orb {

// Page number and slot of a disk record (6 bytes stored). Memory and
// temporary stores keep a record number in the same 6 bytes.
struct TORBRecordID {
  int32_t PageNo = -1;
  uint16_t Slot = 0;

  static TORBRecordID FromNumber(int64_t n) {
    return {static_cast<int32_t>(static_cast<uint32_t>(n)), static_cast<uint16_t>(static_cast<uint64_t>(n) >> 32)};
  }
  int64_t Number() const { return static_cast<int64_t>(static_cast<uint32_t>(PageNo)) | (int64_t{Slot} << 32); }
  bool operator==(const TORBRecordID&) const = default;
};

enum TORBNavigationMode : int { nmCurrent = 0, nmNext = 1, nmPrior = 2 };
enum TORBGetResult : int { grFound = 0, grBOF = 1, grEOF = 2, grNotFound = 3 };

struct TORBNavigation {
  int Mode = nmNext;
  bool FromFirst = false;
  bool FromLast = false;
  TORBRecordID Current;        // in: where the cursor is; out: where it is now
  uint8_t* Buffer = nullptr;   // filled with the record when given
};

class TORBRecordManager {
 public:
  virtual ~TORBRecordManager() = default;
  virtual bool InsertRecord(int32_t session, const uint8_t* record, TORBRecordID& id) = 0;
  virtual bool UpdateRecord(int32_t session, const uint8_t* record, TORBRecordID id) = 0;
  virtual bool DeleteRecord(int32_t session, TORBRecordID id) = 0;
  virtual int GetRecord(int32_t session, TORBNavigation& request) = 0;
  virtual int CompareRecordIDs(TORBRecordID a, TORBRecordID b) const = 0;
  virtual void EmptyAll(int32_t session) = 0;
  // 1-based record numbers in physical order; -1 / an invalid id when absent.
  virtual TORBRecordID RecordIDByRecNo(int32_t session, int64_t recNo) = 0;
  virtual int64_t RecNoByRecordID(int32_t session, TORBRecordID id) = 0;
  virtual int64_t RecordCount() const = 0;
  virtual int32_t ChangeCounter() const = 0;
};

}  // namespace orb
