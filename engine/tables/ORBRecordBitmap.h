// The bitmap a filtered cursor keeps over a table: one bit per record
// ordinal (plain mode) or per index position (indexed mode), stamped with
// the table change counter it was filled at.
#pragma once
#include <cstdint>

#include "storage/ORBMemEngine.h"
#include "storage/ORBRecordManager.h"

namespace orb {

class TORBRecordBitmap {
 public:
  explicit TORBRecordBitmap(int32_t recordsPerPage, bool indexed = false)
      : Indexed(indexed), rpp_(recordsPerPage) {}

  bool Indexed;
  bool Active = false;
  int32_t ChangeCounter = -1;

  void Clear();
  // Sizes the bitmap for ordinals below `limit` and activates it.
  void Start(int64_t limit, int32_t changeCounter);
  int64_t Ordinal(TORBRecordID id) const { return static_cast<int64_t>(id.PageNo) * rpp_ + id.Slot; }
  TORBRecordID IdOf(int64_t ordinal) const {
    return {static_cast<int32_t>(ordinal / rpp_), static_cast<uint16_t>(ordinal % rpp_)};
  }
  // Plain mode; in indexed mode any change inactivates the bitmap instead.
  void SetRecord(TORBRecordID id);
  void ClearRecord(TORBRecordID id);
  void SetPosition(int64_t position);
  void ClearPosition(int64_t position);
  bool Get(int64_t bit) const { return bits_.Get(bit); }
  // The next set bit after `from` (direction +1) or before it (-1); -1 when none.
  int64_t FindNext(int64_t from, int direction) const;
  int64_t RecordCount() const;
  // 1 + set bits before `bit`, or -1 when the bit is clear.
  int64_t RecNoOf(int64_t bit) const;
  // The bit of the n-th set bit (1-based), or -1.
  int64_t BitOfRecNo(int64_t recNo) const;
  bool IsStale(int32_t tableChangeCounter) const { return ChangeCounter != tableChangeCounter; }
  TORBBitsArray& Bits() { return bits_; }

 private:
  void Put(int64_t bit, bool v);
  int32_t rpp_;
  TORBBitsArray bits_;
};

}  // namespace orb
